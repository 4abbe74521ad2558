// Item access on the JSON objects of a document beyond subscription and assignment
// (host/items.h): `get` with the host's semantics for any object, and the cell's canvas.
#pragma once

#include <cstring>

#include "host/items.h"
#include "host/ref.h"

namespace vornik::nbdelta {

using host::get_item;
using host::raise_key_error;
using host::set_item;

// `object.get(key, fallback())`. The fallback is computed where the host computes an argument:
// after the method is looked up and before it runs, so its own errors come first.
template <class Fallback>
host::Ref get_or(host::Handle object, PyObject* key, Fallback&& fallback) {
  if (PyDict_CheckExact(object.get())) {
    host::Ref otherwise = fallback();
    PyObject* value = PyDict_GetItemWithError(object, key);
    if (value != nullptr) return host::Ref::borrow(value);
    if (PyErr_Occurred() != nullptr) host::throw_error_set();
    return otherwise;
  }
  host::Ref method = host::getattr(object, "get");
  host::Ref otherwise = fallback();
  return host::call(method, key, otherwise);
}

// `object.get(key)`
host::Ref get_or_none(host::Handle object, PyObject* key);

// `cell["metadata"]["canvas"]`: where a cell keeps its pipeline data and its diff marks.
host::Ref canvas_of(host::Handle cell);

// `left == right` for two objects that are exactly str.
inline bool same_text(PyObject* left, PyObject* right) {
  if (left == right) return true;
  if (PyUnicode_READY(left) < 0 || PyUnicode_READY(right) < 0) host::throw_error_set();
  const Py_ssize_t length = PyUnicode_GET_LENGTH(left);
  if (length != PyUnicode_GET_LENGTH(right) || PyUnicode_KIND(left) != PyUnicode_KIND(right)) {
    return false;
  }
  // The host keeps every str in its narrowest kind, so equal texts have equal bytes.
  return std::memcmp(PyUnicode_DATA(left), PyUnicode_DATA(right),
                     static_cast<std::size_t>(length) * PyUnicode_KIND(left)) == 0;
}

inline host::Ref new_list() {
  return host::check(PyList_New(0));
}

}  // namespace vornik::nbdelta
