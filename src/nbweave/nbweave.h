// The notebook merge module: the functions and the class it defines, and what they share.
#pragma once

#include <vector>

#include "host/function.h"
#include "host/ref.h"

namespace vornik::nbweave {

// Bodies and descriptions of the module's functions, defined beside their behaviour.
extern const host::FunctionSpec kMergeSourceSpec;
extern const host::FunctionSpec kMergeCellInitSpec;
extern const host::FunctionSpec kFileTypeSpec;
extern const host::FunctionSpec kAddConflictMarkSpec;
extern const host::FunctionSpec kCellChangedSpec;
extern const host::FunctionSpec kMergeFilesSpec;

// The class `MergeCell` as defined at load; its initialiser hands on to the base class's the
// way a method using super() does, whatever the module's global name is bound to later.
PyObject* merge_cell_class();
void set_merge_cell_class(PyObject* cls);

// The change test as defined at load, so that the merge can tell whether the module's name
// still refers to it.
PyObject* cell_changed_function();
void set_cell_changed_function(PyObject* function);

// `_merge_source` as defined at load, so that the merge can tell whether the module's name still
// refers to it.
PyObject* merge_source_function();
void set_merge_source_function(PyObject* function);

// The keys of a dict, in its order, held: the loops over them change other maps.
std::vector<host::Ref> dict_keys(PyObject* map);

}  // namespace vornik::nbweave
