// Host texts read in place: equality without a call into the host, and the split into lines.
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

// The lines of `text` (exactly str): one text per line, each with its "\n", the last one as it
// ends, and no empty last line. Only "\n" ends a line, so "\r\n" and a lone "\r" stay in it.
inline Ref split_lines(Handle text) {
  Ref lines = check(PyList_New(0));
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
  Py_ssize_t start = 0;
  while (start < length) {
    Py_ssize_t end = PyUnicode_FindChar(text.get(), '\n', start, length, 1);
    if (end == -2) throw_error_set();
    end = end < 0 ? length : end + 1;
    Ref line = check(PyUnicode_Substring(text.get(), start, end));
    check_status(PyList_Append(lines.get(), line.get()));
    start = end;
  }
  return lines;
}

}  // namespace vornik::host
