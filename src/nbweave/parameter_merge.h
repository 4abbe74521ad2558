// The merge of the notebook's named parameters.
#pragma once

#include "host/ref.h"

namespace vornik::nbweave {

// The merged parameter list of three documents: parameters matched by "name", a parameter
// changed incompatibly kept in both variants renamed "<<< name" (current's) and ">>> name"
// (incoming's), appended. Raises KeyError for a document without "metadata" / "canvas" /
// "parameters" or a parameter without "name".
host::Ref merge_parameters(PyObject* current, PyObject* base, PyObject* incoming);

}  // namespace vornik::nbweave
