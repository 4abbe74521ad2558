// Item access on the JSON objects of a document beyond subscription and assignment
// (host/items.h): `get` with the host's semantics for any object, and the cell's canvas.
#pragma once

#include "host/items.h"
#include "host/ref.h"
#include "host/text.h"

namespace vornik::nbdelta {

using host::get_item;
using host::raise_key_error;
using host::same_text;
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

inline host::Ref new_list() {
  return host::check(PyList_New(0));
}

}  // namespace vornik::nbdelta
