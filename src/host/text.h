// Equality of host texts read in place, without a call into the host.
#pragma once

#include <cstddef>
#include <cstring>

#include "host/ref.h"

namespace vornik::host {

// `left == right` for two objects that are exactly str.
inline bool same_text(PyObject* left, PyObject* right) {
  if (left == right) return true;
  if (PyUnicode_READY(left) < 0 || PyUnicode_READY(right) < 0) throw_error_set();
  const Py_ssize_t length = PyUnicode_GET_LENGTH(left);
  if (length != PyUnicode_GET_LENGTH(right) || PyUnicode_KIND(left) != PyUnicode_KIND(right)) {
    return false;
  }
  // The host keeps every str in its narrowest kind, so equal texts have equal bytes.
  return std::memcmp(PyUnicode_DATA(left), PyUnicode_DATA(right),
                     static_cast<std::size_t>(length) * PyUnicode_KIND(left)) == 0;
}

}  // namespace vornik::host
