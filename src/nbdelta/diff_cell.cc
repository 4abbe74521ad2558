// DiffCell, the diff record of one cell, and _cell_modified, the test whether its source changed.
#include "host/function.h"
#include "nbdelta/access.h"
#include "nbdelta/definitions.h"
#include "nbdelta/loaded.h"
#include "nbdelta/source_change.h"
#include "nbdelta/status.h"

namespace vornik::nbdelta {
namespace {

using host::Function;
using host::Ref;
using host::TypeCheck;

Ref canvas_of_record(host::Handle self) {
  Ref data = host::getattr(self, "_data");
  return canvas_of(data);
}

Ref init_body(Function& function, PyObject* const* args) {
  // The base initialiser as `super().__init__(cell)` finds it: after DiffCell in the MRO of the
  // instance's class, whatever the module's `Cell` is bound to meanwhile.
  Ref base = host::call(reinterpret_cast<PyObject*>(&PySuper_Type), loaded().diff_cell, args[0]);
  Ref base_init = host::getattr(base, "__init__");
  host::call(base_init, args[1]);
  Ref unchanged = host::getattr(function.global("DiffCell"), "UNCHANGED");
  host::setattr(args[0], "status", unchanged);
  return host::none();
}

Ref status_get(Function& function, PyObject* const* args) {
  Ref canvas = canvas_of_record(args[0]);
  return get_or(canvas, host::key<"diff_status">(),
                [&] { return host::getattr(function.global("DiffCell"), "UNCHANGED"); });
}

Ref status_set(Function& function, PyObject* const* args) {
  assert_status(function, "DiffCell", args[1]);
  set_item(canvas_of_record(args[0]), host::key<"diff_status">(), args[1]);
  return host::none();
}

template <host::Literal Key>
Ref list_get(Function&, PyObject* const* args) {
  Ref canvas = canvas_of_record(args[0]);
  return get_or(canvas, host::key<Key>(), new_list);
}

template <host::Literal Key>
Ref list_set(Function&, PyObject* const* args) {
  set_item(canvas_of_record(args[0]), host::key<Key>(), args[1]);
  return host::none();
}

const host::FunctionSpec init_spec{
    .name = "__init__",
    .qualname = "DiffCell.__init__",
    .parameters = {{"self"}, {"cell", "Dict[str, Any]", TypeCheck::kDict}},
    .body = init_body,
};

const host::PropertySpec status_property = host::property({
    .name = "status",
    .qualname = "DiffCell.status",
    .doc = "The diff cell status",
    .annotation = "str",
    .check = TypeCheck::kStr,
    .get = status_get,
    .set = status_set,
});

const host::PropertySpec prev_source_property = host::property({
    .name = "prev_source",
    .qualname = "DiffCell.prev_source",
    .doc = "Previous source code",
    .annotation = "List[str]",
    .check = TypeCheck::kList,
    .get = list_get<"prev_source">,
    .set = list_set<"prev_source">,
});

const host::PropertySpec removed_parents_property = host::property({
    .name = "removed_parents",
    .qualname = "DiffCell.removed_parents",
    .doc = "Previous parent ids",
    .annotation = "List[Dict[str, str]]",
    .check = TypeCheck::kList,
    .get = list_get<"removed_parents">,
    .set = list_set<"removed_parents">,
});

const host::PropertySpec added_parents_property = host::property({
    .name = "added_parents",
    .qualname = "DiffCell.added_parents",
    .doc = "Previous parent ids",
    .annotation = "List[Dict[str, str]]",
    .check = TypeCheck::kList,
    .get = list_get<"added_parents">,
    .set = list_set<"added_parents">,
});

Ref cell_modified_body(Function& function, PyObject* const* args) {
  Ref previous = host::getattr(args[0], "prev_source");
  Ref current = host::getattr(args[0], "source");
  return Ref::borrow(lines_differ(function.globals(), previous, current) ? Py_True : Py_False);
}

}  // namespace

const host::ClassSpec kDiffCellClass{
    .name = "DiffCell",
    .doc = "Data structure to represent a cell that undergoes diff process.",
    .constants = status_constants(),
    .members = {init_spec, status_property, prev_source_property, removed_parents_property,
                added_parents_property},
};

const host::FunctionSpec kCellModifiedSpec{
    .name = "_cell_modified",
    .qualname = "_cell_modified",
    .parameters = {{"cell", "DiffCell"}},
    .return_annotation = "bool",
    .working_names = {"udiff"},
    .body = cell_modified_body,
};

}  // namespace vornik::nbdelta
