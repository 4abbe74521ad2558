// `MergeCell`, a cell that knows which version it was read from, and `_cell_changed`, the
// change test of one cell between two versions.
#include "host/compat.h"
#include "host/function.h"
#include "nbweave/collaborators.h"
#include "nbweave/nbweave.h"
#include "nbweave/records.h"
#include "structdiff/structure.h"

namespace vornik::nbweave {
namespace {

using host::Function;
using host::Handle;
using host::Ref;
using host::TypeCheck;

bool text_equals(PyObject* value, Handle constant) {
  return host::check_status(PyObject_RichCompareBool(value, constant, Py_EQ)) != 0;
}

Ref constant(Function& function, const char* name) {
  return host::getattr(function.global("MergeCell"), name);
}

Ref merge_cell_init(Function& function, PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* cell = args[1];
  PyObject* file_type = args[2];
  host::init_base(loaded().merge_cell, self, cell);  // super().__init__(cell)
  if (host::assertions_enabled()) {
    bool known = false;
    for (const char* name : {"BASE", "CURRENT", "INCOMING"}) {
      if (text_equals(file_type, constant(function, name))) {
        known = true;
        break;
      }
    }
    if (!known) {
      PyErr_SetNone(PyExc_AssertionError);
      host::throw_error_set();
    }
  }
  host::setattr(self, "_file_type", file_type);
  return Ref::borrow(Py_None);
}

Ref file_type_get(Function& function, PyObject* const* args) {
  Ref stored = host::getattr(args[0], "_file_type");
  if (text_equals(stored.get(), host::key<"current">())) return constant(function, "CURRENT");
  if (text_equals(stored.get(), host::key<"incoming">())) return constant(function, "INCOMING");
  return constant(function, "BASE");
}

Ref add_conflict_mark(Function& function, PyObject* const* args) {
  PyObject* self = args[0];
  Ref name = host::getattr(self, "name");
  if (!host::is_true(name.get())) return Ref::borrow(Py_None);
  Ref file_type = host::getattr(self, "file_type");
  PyObject* prefix = nullptr;
  if (text_equals(file_type.get(), constant(function, "CURRENT"))) {
    prefix = host::key<"<<< ">();
  } else if (text_equals(file_type.get(), constant(function, "INCOMING"))) {
    prefix = host::key<">>> ">();
  } else {
    return Ref::borrow(Py_None);
  }
  Ref marked = marked_name(name, prefix);
  if (marked) host::setattr(self, "name", marked);
  return Ref::borrow(Py_None);
}

Ref cell_changed(Function& function, PyObject* const* args) {
  PyObject* cell0 = args[0];
  PyObject* cell1 = args[1];
  {
    Ref parents0 = host::getattr(cell0, "parents");
    Ref parents1 = host::getattr(cell1, "parents");
    drop_parent_names(parents0, parents1);
  }
  Ref data0 = host::getattr(cell0, "data");
  Ref data1 = host::getattr(cell1, "data");
  return logged_difference(function, data0, data1);
}

}  // namespace

bool starts_with(Handle name, PyObject* prefix) {
  if (PyUnicode_Check(name)) {
    return host::check_status(
               static_cast<int>(PyUnicode_Tailmatch(name, prefix, 0, PY_SSIZE_T_MAX, -1))) != 0;
  }
  Ref result = host::call(host::getattr(name, "startswith"), prefix);
  return host::is_true(result.get());
}

Ref marked_name(Handle name, PyObject* prefix) {
  if (starts_with(name, prefix)) return {};
  return host::check(PyNumber_Add(prefix, name.get()));
}

void drop_parent_names(Handle first, Handle second) {
  auto drop = [](PyObject* link) {
    if (PyDict_CheckExact(link)) {
      if (PyDict_DelItem(link, host::key<"name">()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) host::throw_error_set();
        PyErr_Clear();
      }
      return;
    }
    host::call(host::getattr(link, "pop"), host::key<"name">(), Py_None);
  };
  if (PyList_CheckExact(first.get()) && PyList_CheckExact(second.get())) {
    // What iterating their concatenation visits, without making it.
    Ref held[] = {first.new_ref(), second.new_ref()};
    for (const Ref& links : held) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(links.get()); ++i) {
        Ref link = Ref::borrow(PyList_GET_ITEM(links.get(), i));
        drop(link.get());
      }
    }
    return;
  }
  Ref links = host::check(PyNumber_Add(first, second));
  Ref iterator = host::check(PyObject_GetIter(links.get()));
  while (Ref link = Ref::steal(PyIter_Next(iterator.get()))) drop(link.get());
  if (PyErr_Occurred()) host::throw_error_set();
}

Ref logged_difference(Function& function, Handle data0, Handle data1) {
  Ref jsondiff = function.global("jsondiff");
  Ref symbols = host::getattr(jsondiff, "symbols");
  Ref delete_marker = host::getattr(symbols, "delete");
  Ref replace_marker = host::getattr(symbols, "replace");
  Ref cell_diff = cell_difference(data0, data1, delete_marker, replace_marker);
  Ref logging = function.global("logging");
  host::call(host::getattr(logging, "debug"), cell_diff);
  return cell_diff;
}

Ref cell_difference(Handle data0, Handle data1, Handle delete_marker, Handle replace_marker) {
  Ref cell_diff = structdiff::structural_diff(data0.get(), data1.get(),
                                              {delete_marker.get(), replace_marker.get()});
  if (PyDict_CheckExact(cell_diff.get())) {
    if (PyDict_DelItem(cell_diff.get(), host::key<"execution_count">()) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) host::throw_error_set();
      PyErr_Clear();
    }
  } else {
    host::call(host::getattr(cell_diff, "pop"), host::key<"execution_count">(), Py_None);
  }
  return cell_diff;
}

const host::FunctionSpec kMergeCellInitSpec{
    .name = "__init__",
    .qualname = "MergeCell.__init__",
    .parameters = {{"self"},
                   {"cell", "Dict[str, Any]", TypeCheck::kDict},
                   {"file_type", "str", TypeCheck::kStr}},
    .body = merge_cell_init,
};

const host::FunctionSpec kFileTypeSpec{
    .name = "file_type",
    .qualname = "MergeCell.file_type",
    .doc = "The file type that contains the cell",
    .parameters = {{"self"}},
    .return_annotation = "str",
    .body = file_type_get,
    .result_check = TypeCheck::kOptionalStr,
};

const host::FunctionSpec kAddConflictMarkSpec{
    .name = "add_conflict_mark",
    .qualname = "MergeCell.add_conflict_mark",
    .doc =
        "Change name adding '<<< ' when current cell.\n"
        "Change name adding '>>> ' when incoming cell.",
    .parameters = {{"self"}},
    .return_annotation = "None",
    .body = add_conflict_mark,
};

const host::ClassSpec kMergeCellClass{
    .name = "MergeCell",
    .doc = "Data structure to represent a cell that undergos merge process.",
    .constants = {{"BASE", "base"}, {"CURRENT", "current"}, {"INCOMING", "incoming"}},
    .members = {kMergeCellInitSpec, host::ClassMemberSpec::read_only(kFileTypeSpec),
                kAddConflictMarkSpec},
};

const host::FunctionSpec kCellChangedSpec{
    .name = "_cell_changed",
    .qualname = "_cell_changed",
    .parameters = {{"cell0", "Cell"}, {"cell1", "Cell"}},
    .return_annotation = "Dict[str, Any]",
    .working_names = {"parent", "cell_diff"},
    .body = cell_changed,
};

}  // namespace vornik::nbweave
