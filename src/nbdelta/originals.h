// The decision diff_dicts makes once per call: whether every collaborator it looks up at call
// time is still the object the load sequence bound, unchanged, so that it may work on the
// documents' objects directly with the effects those members would have.
#pragma once

#include "host/ref.h"

namespace vornik::nbdelta {

// Called at the end of the load sequence: records the collaborators and their classes.
void remember_originals(host::Handle module);

// True when `Cell`, `DiffCell`, `_cell_modified` and `DiffParameter` in the module namespace are
// the objects the load sequence bound, `Cell` is the wrapper of the package's own common.py, and
// none of those classes changed since.
bool collaborators_are_original();

}  // namespace vornik::nbdelta
