// What the diff module's load sequence binds, kept for the rest of the process, and the test
// that tells diff_dicts whether those objects are still the ones its module namespace holds.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/function.h"
#include "host/ref.h"

namespace vornik::nbdelta {

enum class Status : std::uint8_t { kUnchanged, kAdded, kRemoved, kModified };

// The class constant that holds a status: "UNCHANGED", "ADDED", ...
const char* constant_name(Status status);

// The JSON keys the module reads and writes, interned once.
struct Keys {
  PyObject* cells;
  PyObject* cell_type;
  PyObject* code;
  PyObject* metadata;
  PyObject* canvas;
  PyObject* id;
  PyObject* name;
  PyObject* source;
  PyObject* parents;
  PyObject* parameters;
  PyObject* parameter;
  PyObject* type;
  PyObject* value;
  PyObject* diff_status;
  PyObject* prev_source;
  PyObject* added_parents;
  PyObject* removed_parents;
  PyObject* prev_type;
  PyObject* prev_value;
};

const Keys& keys();

// A class as the load sequence made it: its attributes and base classes, and the host's version
// tag for it, which the host replaces whenever anything of the class or of a base changes.
struct ClassSnapshot {
  PyTypeObject* type = nullptr;
  host::Ref members;
  host::Ref mro;
  unsigned int tag = 0;
};

struct Bound {
  host::Ref cell;
  host::Ref diff_cell;
  host::Ref cell_modified;
  host::Ref diff_parameter;
  std::array<host::Ref, 4> statuses;  // the constants' values, in the order of Status
  // Whether `cell` is the wrapper of the package's own common.py, whose members diff_dicts may
  // then carry out itself.
  bool cell_is_shipped = false;
  std::vector<ClassSnapshot> classes;
};

// Filled by the load sequence. Never freed: the functions that use it may be called until the
// host shuts down, and releasing host objects after that is not safe.
Bound& bound();

// Called at the start of the load sequence.
void intern_keys();

// Called at its end: judges `cell` and takes the snapshots of the three classes.
void remember_classes(host::Handle module);

// True when every collaborator that diff_dicts looks up in `globals` at call time is the object
// the load sequence bound, and neither those classes nor Cell changed since: diff_dicts may then
// work on the documents' objects directly, with the effects that the members would have.
bool collaborators_are_stock(PyObject* globals);

// The builders of the load sequence's steps 4 to 7.
host::Ref make_diff_cell_class(host::Handle module, host::Handle cell_class);
host::Ref make_cell_modified(host::Handle module);
host::Ref make_diff_parameter_class(host::Handle module);
host::Ref make_diff_dicts(host::Handle module);

// The source change test: whether the previous and the current source lines differ, as the
// host's unified diff of the two tells. `globals` holds the `difflib` that decides the cases it
// does not settle itself.
bool lines_differ(PyObject* globals, host::Handle previous, host::Handle current);

// `assert value in (UNCHANGED, ADDED, REMOVED, MODIFIED)` of the class bound to `class_name`,
// made only while the host runs with assertions.
void assert_status(host::Function& function, const char* class_name, host::Handle value);

}  // namespace vornik::nbdelta
