// vornik_git.drivers.nbdelta: the diff graph of two notebook versions, with its cell and
// parameter records. The load sequence binds, in order: difflib, Any, Dict, List, Cell,
// DiffCell, _cell_modified, DiffParameter, diff_dicts.
#include "host/module.h"
#include "host/ref.h"
#include "nbdelta/bound.h"

namespace {

using vornik::host::ModuleBody;
using vornik::host::Ref;
namespace nbdelta = vornik::nbdelta;

vornik::host::InitialiseOnce once("vornik_git.drivers.nbdelta");

int nbdelta_exec(PyObject* module) {
  return vornik::host::boundary_status([&] {
    once.claim();
    nbdelta::intern_keys();
    ModuleBody body(module);
    body.import("difflib");
    body.import_from("typing", {"Any", "Dict", "List"});
    body.import_from("common", {"Cell"}, 1);

    nbdelta::Bound& kept = nbdelta::bound();
    kept.cell = body.get("Cell");
    kept.diff_cell = nbdelta::make_diff_cell_class(module, kept.cell);
    body.bind("DiffCell", kept.diff_cell);
    kept.cell_modified = nbdelta::make_cell_modified(module);
    body.bind("_cell_modified", kept.cell_modified);
    kept.diff_parameter = nbdelta::make_diff_parameter_class(module);
    body.bind("DiffParameter", kept.diff_parameter);
    body.bind("diff_dicts", nbdelta::make_diff_dicts(module));
    nbdelta::remember_classes(module);
  });
}

PyModuleDef_Slot nbdelta_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(nbdelta_exec)},
    {0, nullptr},
};

PyModuleDef nbdelta_module = {
    PyModuleDef_HEAD_INIT, "nbdelta", nullptr, 0, nullptr, nbdelta_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_nbdelta() {
  return PyModuleDef_Init(&nbdelta_module);
}
