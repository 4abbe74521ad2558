// The source change test of a cell present in both versions.
#pragma once

#include "host/ref.h"

namespace vornik::nbdelta {

// Whether the previous and the current source lines differ, as the host's unified diff of the
// two tells. `globals` holds the `difflib` that decides the cases it does not settle itself.
bool lines_differ(PyObject* globals, host::Handle previous, host::Handle current);

}  // namespace vornik::nbdelta
