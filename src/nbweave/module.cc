// vornik_git.drivers.nbweave: the three-way merge of notebook files.
#include <vector>

#include "host/function.h"
#include "host/module.h"
#include "nbweave/cell_access.h"
#include "nbweave/merge_engine.h"
#include "nbweave/nbweave.h"

namespace {

using vornik::host::Ref;

vornik::host::InitialiseOnce once("vornik_git.drivers.nbweave");

int nbweave_exec(PyObject* module) {
  return vornik::host::boundary_status([&] {
    once.claim();
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
    vornik::nbweave::set_merge_source_function(merge_source.get());
    body.bind("_merge_source", merge_source);

    Ref cell = body.get("Cell");
    vornik::nbweave::remember_stock_cell(cell.get());
    const vornik::host::ClassSpec merge_cell_class{
        .name = "MergeCell",
        .doc = "Data structure to represent a cell that undergos merge process.",
        .constants = {{"BASE", "base"}, {"CURRENT", "current"}, {"INCOMING", "incoming"}},
        .members = {vornik::nbweave::kMergeCellInitSpec,
                    vornik::host::ClassMemberSpec::read_only(vornik::nbweave::kFileTypeSpec),
                    vornik::nbweave::kAddConflictMarkSpec},
    };
    Ref merge_cell = body.define_class(merge_cell_class, {cell});
    vornik::nbweave::set_merge_cell_class(merge_cell.get());

    Ref cell_changed = vornik::host::make_function(vornik::nbweave::kCellChangedSpec, module);
    vornik::nbweave::set_cell_changed_function(cell_changed.get());
    body.bind("_cell_changed", cell_changed);
    body.bind("merge_files", vornik::host::make_function(vornik::nbweave::kMergeFilesSpec, module));
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
