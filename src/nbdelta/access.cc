#include "nbdelta/access.h"

namespace vornik::nbdelta {

host::Ref get_or_none(host::Handle object, PyObject* key) {
  if (!PyDict_CheckExact(object.get())) {
    host::Ref method = host::getattr(object, "get");
    return host::call(method, key);
  }
  PyObject* value = PyDict_GetItemWithError(object, key);
  if (value == nullptr && PyErr_Occurred() != nullptr) host::throw_error_set();
  return host::Ref::borrow(value != nullptr ? value : Py_None);
}

host::Ref canvas_of(host::Handle cell) {
  host::Ref metadata = get_item(cell, host::key<"metadata">());
  return get_item(metadata, host::key<"canvas">());
}

}  // namespace vornik::nbdelta
