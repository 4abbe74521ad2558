// `MergeCell`, a cell that knows which version it was read from, and `_cell_changed`, the
// change test of one cell between two versions.
#include <vector>

#include "host/compat.h"
#include "host/function.h"
#include "nbweave/cell_access.h"
#include "nbweave/nbweave.h"
#include "nbweave/structure.h"

namespace vornik::nbweave {
namespace {

using host::Function;
using host::Handle;
using host::Ref;
using host::TypeCheck;

// Never released: the module is initialised once per process and keeps the class for its life.
PyObject* merge_cell_type = nullptr;
PyObject* cell_changed_object = nullptr;

bool text_equals(PyObject* value, Handle constant) {
  return host::check_status(PyObject_RichCompareBool(value, constant, Py_EQ)) != 0;
}

Ref constant(Function& function, const char* name) {
  return host::getattr(function.global("MergeCell"), name);
}

// `super().__init__(cell)`, as it resolves from the class that defined this initialiser. The
// stock wrapper's initialiser only keeps the cell, which is done here without a call.
void initialise_base(PyObject* self, PyObject* cell) {
  PyObject* mro = Py_TYPE(self)->tp_mro;
  if (mro != nullptr && PyTuple_Check(mro)) {
    Py_ssize_t size = PyTuple_GET_SIZE(mro);
    Py_ssize_t index = 0;
    while (index < size && PyTuple_GET_ITEM(mro, index) != merge_cell_type) ++index;
    for (++index; index < size; ++index) {
      auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, index));
      PyObject* init = PyDict_GetItemWithError(type->tp_dict, host::intern("__init__"));
      if (init == nullptr) {
        if (PyErr_Occurred()) host::throw_error_set();
        continue;
      }
      if (is_stock_cell_init(init)) {
        host::setattr(self, "_data", cell);
        return;
      }
      break;
    }
  }
  Ref base = host::call(reinterpret_cast<PyObject*>(&PySuper_Type), merge_cell_type, self);
  host::call(host::getattr(base, "__init__"), cell);
}

Ref merge_cell_init(Function& function, PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* cell = args[1];
  PyObject* file_type = args[2];
  initialise_base(self, cell);
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
  if (text_equals(stored.get(), host::intern("current"))) return constant(function, "CURRENT");
  if (text_equals(stored.get(), host::intern("incoming"))) return constant(function, "INCOMING");
  return constant(function, "BASE");
}

// `name.startswith(prefix)`, exactly as the host would evaluate it for any kind of name.
bool starts_with(Handle name, PyObject* prefix) {
  if (PyUnicode_Check(name)) {
    return host::check_status(
               static_cast<int>(PyUnicode_Tailmatch(name, prefix, 0, PY_SSIZE_T_MAX, -1))) != 0;
  }
  Ref result = host::call(host::getattr(name, "startswith"), prefix);
  return host::is_true(result.get());
}

Ref add_conflict_mark(Function& function, PyObject* const* args) {
  PyObject* self = args[0];
  Ref name = cell_name(self);
  if (!host::is_true(name.get())) return Ref::borrow(Py_None);
  Ref file_type = host::getattr(self, "file_type");
  PyObject* prefix = nullptr;
  if (text_equals(file_type.get(), constant(function, "CURRENT"))) {
    prefix = host::intern("<<< ");
  } else if (text_equals(file_type.get(), constant(function, "INCOMING"))) {
    prefix = host::intern(">>> ");
  } else {
    return Ref::borrow(Py_None);
  }
  if (starts_with(name, prefix)) return Ref::borrow(Py_None);
  Ref marked = host::check(PyNumber_Add(prefix, name.get()));
  host::setattr(self, "name", marked);
  return Ref::borrow(Py_None);
}

// `link.pop("name", None)` for every parent link of both cells, first cell's links first.
void drop_parent_names(Handle first, Handle second) {
  Ref links = host::check(PyNumber_Add(first, second));
  Ref iterator = host::check(PyObject_GetIter(links.get()));
  while (Ref link = Ref::steal(PyIter_Next(iterator.get()))) {
    if (PyDict_CheckExact(link.get())) {
      if (PyDict_DelItem(link.get(), host::intern("name")) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) host::throw_error_set();
        PyErr_Clear();
      }
      continue;
    }
    host::call(host::getattr(link, "pop"), host::intern("name"), Py_None);
  }
  if (PyErr_Occurred()) host::throw_error_set();
}

Ref cell_changed(Function& function, PyObject* const* args) {
  PyObject* cell0 = args[0];
  PyObject* cell1 = args[1];
  {
    Ref parents0 = cell_parents(cell0);
    Ref parents1 = cell_parents(cell1);
    drop_parent_names(parents0, parents1);
  }
  Ref data0 = cell_data(cell0);
  Ref data1 = cell_data(cell1);
  Ref jsondiff = function.global("jsondiff");
  Ref symbols = host::getattr(jsondiff, "symbols");
  Ref delete_marker = host::getattr(symbols, "delete");
  Ref replace_marker = host::getattr(symbols, "replace");
  Ref cell_diff =
      structural_diff(data0.get(), data1.get(), {delete_marker.get(), replace_marker.get()});
  if (PyDict_CheckExact(cell_diff.get())) {
    if (PyDict_DelItem(cell_diff.get(), host::intern("execution_count")) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) host::throw_error_set();
      PyErr_Clear();
    }
  } else {
    host::call(host::getattr(cell_diff, "pop"), host::intern("execution_count"), Py_None);
  }
  Ref logging = function.global("logging");
  host::call(host::getattr(logging, "debug"), cell_diff);
  return cell_diff;
}

}  // namespace

std::vector<Ref> dict_keys(PyObject* map) {
  std::vector<Ref> result;
  result.reserve(static_cast<size_t>(PyDict_GET_SIZE(map)));
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(map, &position, &key, &value)) result.push_back(Ref::borrow(key));
  return result;
}

PyObject* merge_cell_class() {
  return merge_cell_type;
}
void set_merge_cell_class(PyObject* cls) {
  Py_XINCREF(cls);
  merge_cell_type = cls;
}
PyObject* cell_changed_function() {
  return cell_changed_object;
}
void set_cell_changed_function(PyObject* function) {
  Py_XINCREF(function);
  cell_changed_object = function;
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

const host::FunctionSpec kCellChangedSpec{
    .name = "_cell_changed",
    .qualname = "_cell_changed",
    .parameters = {{"cell0", "Cell"}, {"cell1", "Cell"}},
    .return_annotation = "Dict[str, Any]",
    .working_names = {"parent", "cell_diff"},
    .body = cell_changed,
};

}  // namespace vornik::nbweave
