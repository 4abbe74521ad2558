#include "nbdelta/originals.h"

#include <string>
#include <utility>
#include <vector>

#include "nbdelta/loaded.h"

namespace vornik::nbdelta {
namespace {

// A class as the load sequence made it: its attributes and base classes, and the host's version
// tag for it, which the host replaces whenever anything of the class or of a base changes.
struct ClassSnapshot {
  PyTypeObject* type = nullptr;
  host::Ref members;
  host::Ref mro;
  unsigned int tag = 0;
};

struct Originals {
  host::Ref globals;
  bool cell_is_shipped = false;
  std::vector<ClassSnapshot> classes;
};

Originals& originals() {
  static auto* const kept = new Originals;  // NOLINT(cppcoreguidelines-owning-memory)
  return *kept;
}

// The tag the host gave the class, or 0 while it has none (just after a change).
unsigned int valid_tag(PyTypeObject* type) {
  return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 ? type->tp_version_tag : 0;
}

// The host gives a class a new tag at its next attribute lookup.
unsigned int fresh_tag(PyTypeObject* type) {
  host::Ref looked_up = host::getattr(reinterpret_cast<PyObject*>(type), "__init__");
  return valid_tag(type);
}

ClassSnapshot snapshot(host::Handle cls) {
  ClassSnapshot taken;
  taken.type = reinterpret_cast<PyTypeObject*>(cls.get());
  taken.members = host::check(PyDict_Copy(taken.type->tp_dict));
  taken.mro = host::Ref::borrow(taken.type->tp_mro);
  taken.tag = fresh_tag(taken.type);
  return taken;
}

// Whether the class holds the very attributes and bases it held when the snapshot was taken.
bool holds_snapshot(const ClassSnapshot& taken) {
  PyObject* members = taken.type->tp_dict;
  if (PyDict_GET_SIZE(members) != PyDict_GET_SIZE(taken.members.get())) return false;
  Py_ssize_t position = 0;
  PyObject* name = nullptr;
  PyObject* member = nullptr;
  while (PyDict_Next(taken.members.get(), &position, &name, &member)) {
    if (PyDict_GetItemWithError(members, name) != member) {
      if (PyErr_Occurred() != nullptr) host::throw_error_set();
      return false;
    }
  }
  PyObject* mro = taken.type->tp_mro;
  const Py_ssize_t size = PyTuple_GET_SIZE(taken.mro.get());
  if (mro == nullptr || PyTuple_GET_SIZE(mro) != size) return false;
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (PyTuple_GET_ITEM(mro, i) != PyTuple_GET_ITEM(taken.mro.get(), i)) return false;
  }
  return true;
}

// `object.name` as a str, or nothing when the object has no such attribute or it is no str.
host::Ref text_attribute(host::Handle object, const char* name) {
  PyObject* value = PyObject_GetAttr(object, host::intern(name));
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) host::throw_error_set();
    PyErr_Clear();
    return {};
  }
  host::Ref owned = host::Ref::steal(value);
  return PyUnicode_Check(value) ? std::move(owned) : host::Ref();
}

std::string utf8(host::Handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();  // a path that is no valid UTF-8 simply matches nothing
    return {};
  }
  return {data, static_cast<std::size_t>(size)};
}

// Whether every function of the class, and every accessor of its properties, was compiled from
// the file `path`: a module object put in place of common.py may claim its file name, but not
// the origin of the code it holds.
bool compiled_from(host::Handle cls, const std::string& path) {
  PyObject* members = reinterpret_cast<PyTypeObject*>(cls.get())->tp_dict;
  Py_ssize_t position = 0;
  PyObject* name = nullptr;
  PyObject* member = nullptr;
  std::size_t functions = 0;
  auto from_path = [&](PyObject* function) {
    if (function == nullptr || function == Py_None) return true;
    if (!PyFunction_Check(function)) return false;
    ++functions;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function));
    return utf8(code->co_filename) == path;
  };
  while (PyDict_Next(members, &position, &name, &member)) {
    if (PyFunction_Check(member)) {
      if (!from_path(member)) return false;
    } else if (PyObject_TypeCheck(member, &PyProperty_Type)) {
      for (const char* accessor : {"fget", "fset", "fdel"}) {
        host::Ref function = host::getattr(member, accessor);
        if (!from_path(function.get())) return false;
      }
    }
  }
  return functions > 0;
}

// A Cell defined by common.py beside this module, with the host's own metaclass: only then are
// its members the ones whose effects diff_dicts knows.
bool is_shipped_cell(host::Handle module, host::Handle cell) {
  if (Py_TYPE(cell.get()) != &PyType_Type) return false;
  host::Ref defined_in = text_attribute(cell, "__module__");
  host::Ref package = text_attribute(module, "__package__");
  host::Ref own_file = text_attribute(module, "__file__");
  if (!defined_in || !package || !own_file) return false;
  if (utf8(defined_in) != utf8(package) + ".common") return false;
  PyObject* common = PyDict_GetItemWithError(PyImport_GetModuleDict(), defined_in.get());
  if (common == nullptr) {
    if (PyErr_Occurred() != nullptr) host::throw_error_set();
    return false;
  }
  host::Ref common_file = text_attribute(common, "__file__");
  if (!common_file) return false;
  std::string expected = utf8(own_file);
  expected.resize(expected.rfind('/') + 1);  // npos + 1 is 0: no directory part at all
  expected += "common.py";
  return utf8(common_file) == expected && compiled_from(cell, expected);
}

}  // namespace

void remember_originals(host::Handle module) {
  const Loaded& bound = loaded();
  Originals& kept = originals();
  kept.globals = host::Ref::borrow(PyModule_GetDict(module));
  kept.cell_is_shipped = is_shipped_cell(module, bound.cell);
  kept.classes.clear();
  for (const host::Ref* cls : {&bound.cell, &bound.diff_cell, &bound.diff_parameter}) {
    if (PyType_Check(cls->get())) kept.classes.push_back(snapshot(*cls));
  }
}

bool collaborators_are_original() {
  const Loaded& bound = loaded();
  Originals& kept = originals();
  if (!kept.cell_is_shipped) return false;
  const std::pair<PyObject*, PyObject*> collaborators[] = {
      {host::key<"Cell">(), bound.cell.get()},
      {host::key<"DiffCell">(), bound.diff_cell.get()},
      {host::key<"_cell_modified">(), bound.cell_modified.get()},
      {host::key<"DiffParameter">(), bound.diff_parameter.get()},
  };
  for (const auto& [name, object] : collaborators) {
    if (PyDict_GetItemWithError(kept.globals.get(), name) != object) {
      if (PyErr_Occurred() != nullptr) host::throw_error_set();
      return false;
    }
  }
  bool tags_hold = true;
  for (const ClassSnapshot& taken : kept.classes) {
    tags_hold = tags_hold && taken.tag != 0 && valid_tag(taken.type) == taken.tag;
  }
  if (tags_hold) return true;
  // Something touched a class (or its tag ran out): compare what the classes hold now, and
  // when it is all as loaded (a patch undone), remember the new tags for the next call.
  for (const ClassSnapshot& taken : kept.classes) {
    if (!holds_snapshot(taken)) return false;
  }
  for (ClassSnapshot& taken : kept.classes) taken.tag = fresh_tag(taken.type);
  return true;
}

}  // namespace vornik::nbdelta
