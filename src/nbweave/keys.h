// The JSON keys and texts the merge reads and writes, interned once at load.
#pragma once

#include "host/ref.h"

namespace vornik::nbweave {

struct Keys {
  PyObject* cells;
  PyObject* metadata;
  PyObject* canvas;
  PyObject* id;
  PyObject* name;
  PyObject* source;
  PyObject* parents;
  PyObject* comments;
  PyObject* link_id;
  PyObject* outputs;
  PyObject* execution_count;
  PyObject* parameters;
  PyObject* empty;          // ""
  PyObject* current_mark;   // "<<< "
  PyObject* incoming_mark;  // ">>> "
};

// Filled by intern_keys, at the start of the load sequence.
const Keys& keys();
void intern_keys();

}  // namespace vornik::nbweave
