#include "host/items.h"

namespace vornik::host {

void raise_key_error(PyObject* key) {
  // A tuple, so that a key that is itself a tuple is reported whole, as the host's dict does.
  Ref args = check(PyTuple_Pack(1, key));
  PyErr_SetObject(PyExc_KeyError, args.get());
  throw_error_set();
}

}  // namespace vornik::host
