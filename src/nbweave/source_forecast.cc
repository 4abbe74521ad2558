#include "nbweave/source_forecast.h"

#include "host/items.h"
#include "structdiff/structure.h"

namespace vornik::nbweave {
namespace {

using host::Handle;

// `dict[key]` of an exact dict; null when it is not one or has no such key.
PyObject* dict_member(PyObject* dict, PyObject* key) {
  if (dict == nullptr || !PyDict_CheckExact(dict)) return nullptr;
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr && PyErr_Occurred() != nullptr) host::throw_error_set();
  return value;
}

PyObject* canvas_member(PyObject* cell) {
  return dict_member(dict_member(cell, host::key<"metadata">()), host::key<"canvas">());
}

bool named(PyObject* canvas) {
  PyObject* name = dict_member(canvas, host::key<"name">());
  return name != nullptr && host::is_true(name);
}

}  // namespace

bool source_merge_certain(Handle current_cells, Handle base_cells, Handle incoming_cells) {
  Py_ssize_t position = 0;
  PyObject* cell_id = nullptr;
  PyObject* base = nullptr;
  while (PyDict_Next(base_cells, &position, &cell_id, &base)) {
    PyObject* current = dict_member(current_cells, cell_id);
    PyObject* incoming = dict_member(incoming_cells, cell_id);
    PyObject* sources[3] = {dict_member(current, host::key<"source">()),
                            dict_member(base, host::key<"source">()),
                            dict_member(incoming, host::key<"source">())};
    PyObject* canvases[3] = {canvas_member(current), canvas_member(base), canvas_member(incoming)};
    if (sources[0] == nullptr || sources[1] == nullptr || sources[2] == nullptr ||
        canvases[0] == nullptr || canvases[1] == nullptr || canvases[2] == nullptr) {
      continue;
    }
    if (!PyList_CheckExact(sources[0]) || !PyList_CheckExact(sources[1]) ||
        !PyList_CheckExact(sources[2])) {
      continue;
    }
    if (!structdiff::values_equal(sources[0], sources[1]) &&
        !structdiff::values_equal(sources[2], sources[1]) &&
        structdiff::values_equal(canvases[2], canvases[1]) &&
        named(canvases[0]) == named(canvases[2])) {
      return true;
    }
  }
  return false;
}

}  // namespace vornik::nbweave
