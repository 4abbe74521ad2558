// DiffCell, the diff record of one cell, and _cell_modified, the test whether its source changed.
#include <optional>
#include <utility>
#include <vector>

#include "host/compat.h"
#include "nbdelta/access.h"
#include "nbdelta/bound.h"

namespace vornik::nbdelta {
namespace {

using host::Function;
using host::FunctionSpec;
using host::Handle;
using host::Ref;
using host::TypeCheck;

Ref none() {
  return Ref::borrow(Py_None);
}

Ref canvas_of_record(Handle self) {
  Ref data = host::getattr(self, "_data");
  return canvas_of(data);
}

Ref init_body(Function& function, PyObject* const* args) {
  // The base initialiser as `super().__init__(cell)` finds it: after DiffCell in the MRO of the
  // instance's class, whatever the module's `Cell` is bound to meanwhile.
  Ref base = host::call(reinterpret_cast<PyObject*>(&PySuper_Type), bound().diff_cell, args[0]);
  Ref base_init = host::getattr(base, "__init__");
  host::call(base_init, args[1]);
  Ref unchanged = host::getattr(function.global("DiffCell"), "UNCHANGED");
  host::setattr(args[0], "status", unchanged);
  return none();
}

Ref status_get(Function& function, PyObject* const* args) {
  Ref canvas = canvas_of_record(args[0]);
  return get_or(canvas, keys().diff_status,
                [&] { return host::getattr(function.global("DiffCell"), "UNCHANGED"); });
}

Ref status_set(Function& function, PyObject* const* args) {
  assert_status(function, "DiffCell", args[1]);
  set_item(canvas_of_record(args[0]), keys().diff_status, args[1]);
  return none();
}

template <PyObject* Keys::*key>
Ref list_get(Function&, PyObject* const* args) {
  Ref canvas = canvas_of_record(args[0]);
  return get_or(canvas, keys().*key, new_list);
}

template <PyObject* Keys::*key>
Ref list_set(Function&, PyObject* const* args) {
  set_item(canvas_of_record(args[0]), keys().*key, args[1]);
  return none();
}

const FunctionSpec init_spec{
    .name = "__init__",
    .qualname = "DiffCell.__init__",
    .parameters = {{"self"}, {"cell", "Dict[str, Any]", TypeCheck::kDict}},
    .body = init_body,
};

const FunctionSpec status_get_spec{
    .name = "status",
    .qualname = "DiffCell.status",
    .doc = "The diff cell status",
    .parameters = {{"self"}},
    .return_annotation = "str",
    .body = status_get,
    .result_check = TypeCheck::kStr,
};
const FunctionSpec status_set_spec{
    .name = "status",
    .qualname = "DiffCell.status",
    .parameters = {{"self"}, {"value", "str", TypeCheck::kStr}},
    .return_annotation = "None",
    .body = status_set,
};

const FunctionSpec prev_source_get_spec{
    .name = "prev_source",
    .qualname = "DiffCell.prev_source",
    .doc = "Previous source code",
    .parameters = {{"self"}},
    .return_annotation = "List[str]",
    .body = list_get<&Keys::prev_source>,
    .result_check = TypeCheck::kList,
};
const FunctionSpec prev_source_set_spec{
    .name = "prev_source",
    .qualname = "DiffCell.prev_source",
    .parameters = {{"self"}, {"value", "List[str]", TypeCheck::kList}},
    .return_annotation = "None",
    .body = list_set<&Keys::prev_source>,
};

const FunctionSpec removed_parents_get_spec{
    .name = "removed_parents",
    .qualname = "DiffCell.removed_parents",
    .doc = "Previous parent ids",
    .parameters = {{"self"}},
    .return_annotation = "List[Dict[str, str]]",
    .body = list_get<&Keys::removed_parents>,
    .result_check = TypeCheck::kList,
};
const FunctionSpec removed_parents_set_spec{
    .name = "removed_parents",
    .qualname = "DiffCell.removed_parents",
    .parameters = {{"self"}, {"value", "List[Dict[str, str]]", TypeCheck::kList}},
    .return_annotation = "None",
    .body = list_set<&Keys::removed_parents>,
};

const FunctionSpec added_parents_get_spec{
    .name = "added_parents",
    .qualname = "DiffCell.added_parents",
    .doc = "Previous parent ids",
    .parameters = {{"self"}},
    .return_annotation = "List[Dict[str, str]]",
    .body = list_get<&Keys::added_parents>,
    .result_check = TypeCheck::kList,
};
const FunctionSpec added_parents_set_spec{
    .name = "added_parents",
    .qualname = "DiffCell.added_parents",
    .parameters = {{"self"}, {"value", "List[Dict[str, str]]", TypeCheck::kList}},
    .return_annotation = "None",
    .body = list_set<&Keys::added_parents>,
};

Ref cell_modified_body(Function& function, PyObject* const* args) {
  Ref previous = host::getattr(args[0], "prev_source");
  Ref current = host::getattr(args[0], "source");
  return Ref::borrow(lines_differ(function.globals(), previous, current) ? Py_True : Py_False);
}

const FunctionSpec cell_modified_spec{
    .name = "_cell_modified",
    .qualname = "_cell_modified",
    .parameters = {{"cell", "DiffCell"}},
    .return_annotation = "bool",
    .working_names = {"udiff"},
    .body = cell_modified_body,
};

bool all_exact_text(PyObject* list) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    if (!PyUnicode_CheckExact(PyList_GET_ITEM(list, i))) return false;
  }
  return true;
}

// The unified diff of two lists of plain str lines is empty exactly when the lists are equal
// element by element. Anything else (other sequences, other elements, which the diff may refuse
// or compare with their own equality, or print) is left to the host's diff.
std::optional<bool> text_lines_differ(Handle previous, Handle current) {
  if (!PyList_CheckExact(previous.get()) || !PyList_CheckExact(current.get())) return {};
  if (!all_exact_text(previous) || !all_exact_text(current)) return {};
  const Py_ssize_t size = PyList_GET_SIZE(previous.get());
  if (size != PyList_GET_SIZE(current.get())) return true;
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!same_text(PyList_GET_ITEM(previous.get(), i), PyList_GET_ITEM(current.get(), i))) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool lines_differ(PyObject* globals, Handle previous, Handle current) {
  if (std::optional<bool> differ = text_lines_differ(previous, current)) return *differ;
  Ref difflib = host::lookup_global(globals, host::intern("difflib"));
  Ref unified_diff = host::getattr(difflib, "unified_diff");
  Ref lines = host::call(unified_diff, previous, current);
  Ref udiff = host::check(PySequence_List(lines.get()));
  return PyList_GET_SIZE(udiff.get()) > 0;
}

void assert_status(Function& function, const char* class_name, Handle value) {
  if (!host::assertions_enabled()) return;
  Ref cls = function.global(class_name);
  for (Status status : {Status::kUnchanged, Status::kAdded, Status::kRemoved, Status::kModified}) {
    Ref constant = host::getattr(cls, constant_name(status));
    if (host::check_status(PyObject_RichCompareBool(value, constant.get(), Py_EQ)) != 0) return;
  }
  PyErr_SetNone(PyExc_AssertionError);
  host::throw_error_set();
}

Ref make_diff_cell_class(Handle module, Handle cell_class) {
  const Bound& kept = bound();
  std::vector<host::ClassMember> members;
  for (Status status : {Status::kUnchanged, Status::kAdded, Status::kRemoved, Status::kModified}) {
    members.push_back({constant_name(status), kept.statuses.at(static_cast<int>(status)).clone()});
  }
  members.push_back({"__init__", host::make_function(init_spec, module)});
  const std::pair<const FunctionSpec*, const FunctionSpec*> properties[] = {
      {&status_get_spec, &status_set_spec},
      {&prev_source_get_spec, &prev_source_set_spec},
      {&removed_parents_get_spec, &removed_parents_set_spec},
      {&added_parents_get_spec, &added_parents_set_spec},
  };
  for (const auto& [getter, setter] : properties) {
    Ref get = host::make_function(*getter, module);
    Ref set = host::make_function(*setter, module);
    members.push_back({getter->name, host::make_property(get, set)});
  }
  Ref bases = host::check(PyTuple_Pack(1, cell_class.get()));
  return host::make_class("DiffCell", module,
                          "Data structure to represent a cell that undergoes diff process.", bases,
                          members);
}

Ref make_cell_modified(Handle module) {
  return host::make_function(cell_modified_spec, module);
}

}  // namespace vornik::nbdelta
