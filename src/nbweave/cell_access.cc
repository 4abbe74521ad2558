#include "nbweave/cell_access.h"

#include <cstring>

namespace vornik::nbweave {
namespace {

using host::Ref;

// The stock wrapper's property objects; null when the wrapper in use is another one. Kept for
// the life of the process, like the module that holds them.
struct StockMembers {
  PyObject* data = nullptr;
  PyObject* canvas = nullptr;
  PyObject* name = nullptr;
  PyObject* parents = nullptr;
  PyObject* comments = nullptr;
  PyObject* add_comment = nullptr;
  PyObject* init = nullptr;
} stock;

bool is_stock_function(PyObject* value, const char* qualname) {
  if (value == nullptr || !PyFunction_Check(value)) return false;
  auto* function = reinterpret_cast<PyFunctionObject*>(value);
  PyObject* module = function->func_module;
  return PyUnicode_CompareWithASCIIString(function->func_qualname, qualname) == 0 &&
         module != nullptr && PyUnicode_Check(module) &&
         PyUnicode_CompareWithASCIIString(module, "vornik_git.drivers.common") == 0;
}

PyObject* stock_property(PyObject* cell_class, const char* member, const char* qualname) {
  PyObject* value =
      PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cell_class)->tp_dict, member);
  if (value == nullptr || !PyObject_TypeCheck(value, &PyProperty_Type)) return nullptr;
  Ref getter = Ref::steal(PyObject_GetAttrString(value, "fget"));
  if (!getter) PyErr_Clear();
  if (!is_stock_function(getter.get(), qualname)) return nullptr;
  Py_INCREF(value);
  return value;
}

// True when attribute `member` of `cell` is the stock property `expected`, read the ordinary
// way (no __getattribute__ or __getattr__ of its own in the class).
bool is_stock(PyObject* cell, const char* member, PyObject* expected) {
  if (expected == nullptr) return false;
  PyTypeObject* type = Py_TYPE(cell);
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  return _PyType_Lookup(type, host::intern(member)) == expected;
}

// `cell._data["metadata"]["canvas"]` when every step is a plain dict lookup that succeeds;
// null (nothing raised) otherwise, so that the caller takes the ordinary way, errors included.
Ref stock_canvas(PyObject* cell) {
  if (!is_stock(cell, "_canvas", stock.canvas)) return nullptr;
  Ref data = host::getattr(cell, "_data");
  if (!PyDict_CheckExact(data.get())) return nullptr;
  PyObject* metadata = PyDict_GetItemWithError(data.get(), host::intern("metadata"));
  if (metadata == nullptr || !PyDict_CheckExact(metadata)) {
    if (PyErr_Occurred()) host::throw_error_set();
    return nullptr;
  }
  PyObject* canvas = PyDict_GetItemWithError(metadata, host::intern("canvas"));
  if (canvas == nullptr || !PyDict_CheckExact(canvas)) {
    if (PyErr_Occurred()) host::throw_error_set();
    return nullptr;
  }
  return Ref::borrow(canvas);
}

// `canvas.get(key)`, None when absent.
PyObject* canvas_get(PyObject* canvas, const char* key) {
  PyObject* value = PyDict_GetItemWithError(canvas, host::intern(key));
  if (value == nullptr && PyErr_Occurred()) host::throw_error_set();
  return value == nullptr ? Py_None : value;
}

}  // namespace

void remember_stock_cell(PyObject* cell_class) {
  if (!PyType_Check(cell_class)) return;
  stock.data = stock_property(cell_class, "data", "Cell.data");
  stock.canvas = stock_property(cell_class, "_canvas", "Cell._canvas");
  stock.name = stock_property(cell_class, "name", "Cell.name");
  stock.parents = stock_property(cell_class, "parents", "Cell.parents");
  stock.comments = stock_property(cell_class, "comments", "Cell.comments");
  PyObject* add_comment =
      PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cell_class)->tp_dict, "add_comment");
  if (is_stock_function(add_comment, "Cell.add_comment"))
    stock.add_comment = Py_NewRef(add_comment);
  PyObject* init =
      PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cell_class)->tp_dict, "__init__");
  if (is_stock_function(init, "Cell.__init__")) stock.init = Py_NewRef(init);
}

bool is_stock_cell_init(PyObject* function) {
  return function != nullptr && function == stock.init;
}

bool stock_comments(host::Handle cell) {
  if (!is_stock(cell, "comments", stock.comments) || !stock_canvas(cell)) return false;
  // The method as the cell gives it: an attribute of the instance would stand in front of it.
  Ref add_comment = host::getattr(cell, "add_comment");
  return PyMethod_Check(add_comment.get()) &&
         PyMethod_GET_FUNCTION(add_comment.get()) == stock.add_comment &&
         PyMethod_GET_SELF(add_comment.get()) == cell.get();
}

Ref cell_data(host::Handle cell) {
  if (is_stock(cell, "data", stock.data)) return host::getattr(cell, "_data");
  return host::getattr(cell, "data");
}

Ref cell_parents(host::Handle cell) {
  if (is_stock(cell, "parents", stock.parents)) {
    if (Ref canvas = stock_canvas(cell)) {
      PyObject* parents = canvas_get(canvas.get(), "parents");
      return parents == Py_None ? host::check(PyList_New(0)) : Ref::borrow(parents);
    }
  }
  return host::getattr(cell, "parents");
}

Ref cell_name(host::Handle cell) {
  if (is_stock(cell, "name", stock.name)) {
    if (Ref canvas = stock_canvas(cell)) {
      PyObject* name = canvas_get(canvas.get(), "name");
      return Ref::borrow(name == Py_None ? host::intern("") : name);
    }
  }
  return host::getattr(cell, "name");
}

}  // namespace vornik::nbweave
