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
  host::init_base(loaded().diff_cell, args[0], args[1]);
  mark_unchanged<"DiffCell">(function, args[0]);
  return host::none();
}

// A list the cell keeps in its canvas under the property's own name; an absent one reads as a
// new empty list.
template <host::Literal Name>
host::PropertySpec canvas_list_property(const char* qualname, const char* doc,
                                        const char* annotation) {
  auto get = [](Function&, PyObject* const* args) {
    Ref canvas = canvas_of_record(args[0]);
    return get_or(canvas, host::key<Name>(), new_list);
  };
  auto set = [](Function&, PyObject* const* args) {
    set_item(canvas_of_record(args[0]), host::key<Name>(), args[1]);
    return host::none();
  };
  return host::property({.name = Name.chars,
                         .qualname = qualname,
                         .doc = doc,
                         .annotation = annotation,
                         .check = TypeCheck::kList,
                         .get = get,
                         .set = set});
}

const host::FunctionSpec init_spec{
    .name = "__init__",
    .qualname = "DiffCell.__init__",
    .parameters = {{"self"}, {"cell", "Dict[str, Any]", TypeCheck::kDict}},
    .body = init_body,
};

const host::PropertySpec status_property =
    record_status_property<canvas_of_record, "DiffCell">("DiffCell.status", "The diff cell status");
const host::PropertySpec prev_source_property = canvas_list_property<"prev_source">(
    "DiffCell.prev_source", "Previous source code", "List[str]");
const host::PropertySpec removed_parents_property = canvas_list_property<"removed_parents">(
    "DiffCell.removed_parents", "Previous parent ids", "List[Dict[str, str]]");
const host::PropertySpec added_parents_property = canvas_list_property<"added_parents">(
    "DiffCell.added_parents", "Previous parent ids", "List[Dict[str, str]]");

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
