// Item access on the JSON objects of a document, with exactly the host's semantics for any
// object. Objects that are exactly dicts (all that a parsed document holds) take the
// dictionary's own operations, which run no code of the caller's.
#pragma once

#include "host/ref.h"

namespace vornik::host {

// KeyError carrying `key`, worded as the host's dict words it.
[[noreturn]] void raise_key_error(PyObject* key);

// `object[key]`
inline Ref get_item(Handle object, PyObject* key) {
  if (!PyDict_CheckExact(object.get())) return check(PyObject_GetItem(object, key));
  PyObject* value = PyDict_GetItemWithError(object, key);
  if (value == nullptr) {
    if (PyErr_Occurred() != nullptr) throw_error_set();
    raise_key_error(key);
  }
  return Ref::borrow(value);
}

// `object[key] = value`
inline void set_item(Handle object, PyObject* key, Handle value) {
  if (PyDict_CheckExact(object.get())) {
    check_status(PyDict_SetItem(object, key, value));
  } else {
    check_status(PyObject_SetItem(object, key, value));
  }
}

// `key in mapping` for a dict.
inline bool dict_contains(Handle mapping, Handle key) {
  return check_status(PyDict_Contains(mapping, key)) != 0;
}

}  // namespace vornik::host
