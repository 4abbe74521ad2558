// vornik_git.drivers.nbweave: the three-way merge of notebook files.
#include <vector>

#include "host/function.h"
#include "host/module.h"
#include "nbweave/collaborators.h"
#include "nbweave/debug_log.h"
#include "nbweave/keys.h"
#include "nbweave/merge_engine.h"
#include "nbweave/nbweave.h"

namespace {

using vornik::host::ClassMember;
using vornik::host::Ref;

vornik::host::InitialiseOnce once("vornik_git.drivers.nbweave");

int nbweave_exec(PyObject* module) {
  return vornik::host::boundary_status([&] {
    once.claim();
    vornik::nbweave::intern_keys();
    vornik::host::ModuleBody body(module);
    body.import("json");
    body.import("logging");
    body.import("os");
    body.import("tempfile");
    body.import("uuid");
    body.import_from("typing", {"Any", "Dict", "List", "Optional"});
    body.import("git");
    body.import("jsondiff");
    body.import_from("common", {"Cell"}, 1);

    vornik::nbweave::engine::remember_git(body.get("git"));
    Ref merge_source =
        vornik::host::make_function(vornik::nbweave::kMergeSourceSpec, module, {Py_None, Py_None});
    body.bind("_merge_source", merge_source);

    Ref cell = body.get("Cell");
    Ref bases = vornik::host::check(PyTuple_Pack(1, cell.get()));
    std::vector<ClassMember> members;
    members.push_back({"BASE", vornik::host::make_str("base")});
    members.push_back({"CURRENT", vornik::host::make_str("current")});
    members.push_back({"INCOMING", vornik::host::make_str("incoming")});
    members.push_back(
        {"__init__", vornik::host::make_function(vornik::nbweave::kMergeCellInitSpec, module)});
    members.push_back({"file_type", vornik::host::make_property(vornik::host::make_function(
                                        vornik::nbweave::kFileTypeSpec, module))});
    members.push_back({"add_conflict_mark",
                       vornik::host::make_function(vornik::nbweave::kAddConflictMarkSpec, module)});
    Ref merge_cell = vornik::host::make_class(
        "MergeCell", module, "Data structure to represent a cell that undergos merge process.",
        bases, members);
    vornik::nbweave::loaded().merge_cell = merge_cell.clone();
    body.bind("MergeCell", merge_cell);

    Ref cell_changed = vornik::host::make_function(vornik::nbweave::kCellChangedSpec, module);
    body.bind("_cell_changed", cell_changed);
    body.bind("merge_files", vornik::host::make_function(vornik::nbweave::kMergeFilesSpec, module));
    vornik::nbweave::record_logging(body.get("logging"));
    vornik::nbweave::record_load(module);
  });
}

PyModuleDef_Slot nbweave_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(nbweave_exec)},
    {0, nullptr},
};

PyModuleDef nbweave_module = {
    PyModuleDef_HEAD_INIT, "nbweave", nullptr, 0, nullptr, nbweave_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_nbweave() {
  return PyModuleDef_Init(&nbweave_module);
}
