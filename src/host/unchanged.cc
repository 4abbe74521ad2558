#include "host/unchanged.h"

#include <algorithm>
#include <string>
#include <utility>

namespace vornik::host {
namespace {

// The tag the host gave the class, or 0 while it has none (just after a change).
unsigned int valid_tag(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030C0000
  if ((type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) == 0) return 0;
#endif
  return type->tp_version_tag;
}

// The host gives a class a new tag at its next attribute lookup through the method cache.
unsigned int fresh_tag(PyTypeObject* type) {
  (void)_PyType_Lookup(type, intern("__init__"));
  return valid_tag(type);
}

PyObject* entry(PyObject* namespace_, PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(namespace_, name);
  if (value == nullptr && PyErr_Occurred() != nullptr) throw_error_set();
  return value;
}

bool same_items(PyObject* tuple, PyObject* kept) {
  if (tuple == nullptr || !PyTuple_Check(tuple)) return false;
  const Py_ssize_t size = PyTuple_GET_SIZE(kept);
  if (PyTuple_GET_SIZE(tuple) != size) return false;
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (PyTuple_GET_ITEM(tuple, i) != PyTuple_GET_ITEM(kept, i)) return false;
  }
  return true;
}

// `object.name` as a str, or nothing when the object has no such attribute or it is no str.
Ref text_attribute(Handle object, const char* name) {
  PyObject* value = PyObject_GetAttr(object, intern(name));
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
    PyErr_Clear();
    return {};
  }
  Ref owned = Ref::steal(value);
  return PyUnicode_Check(value) ? std::move(owned) : Ref();
}

std::string utf8(Handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();  // a path that is no valid UTF-8 simply matches nothing
    return {};
  }
  return {data, static_cast<std::size_t>(size)};
}

// Whether every function of the class, and every accessor of its properties, was compiled from
// the file `path`, and there is at least one.
bool compiled_from(Handle cls, const std::string& path) {
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
        Ref function = getattr(member, accessor);
        if (!from_path(function.get())) return false;
      }
    }
  }
  return functions > 0;
}

}  // namespace

void LoadRecord::bind(Handle owner, const char* name, Handle object) {
  Binding binding{.owner = owner.new_ref(),
                  .namespace_ = {},
                  .owner_type = Py_TYPE(owner.get()),
                  .name = intern(name),
                  .object = object.new_ref()};
  if (PyModule_Check(owner.get())) {
    binding.namespace_ = Ref::borrow(PyModule_GetDict(owner));
  } else if (PyDict_Check(owner.get())) {
    binding.namespace_ = owner.new_ref();
  } else {
    raise(PyExc_TypeError, "a load record binds names of modules and dicts only");
  }
  bindings_.push_back(std::move(binding));
}

Ref LoadRecord::bind_current(Handle owner, const char* name) {
  PyObject* namespace_ = PyModule_Check(owner.get()) ? PyModule_GetDict(owner) : owner.get();
  Ref object = PyDict_Check(namespace_) ? Ref::borrow(entry(namespace_, intern(name))) : Ref();
  bind(owner, name, object);
  return object;
}

void LoadRecord::snapshot(PyObject* cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  for (const ClassSnapshot& taken : classes_) {
    if (taken.cls.get() == cls) return;
  }
  ClassSnapshot taken;
  taken.cls = Ref::borrow(cls);
  taken.members = check(PyDict_Copy(type->tp_dict));
  taken.mro = Ref::borrow(type->tp_mro);
  taken.tag = fresh_tag(type);
  classes_.push_back(std::move(taken));
}

void LoadRecord::keep_class(Handle cls) {
  if (!PyType_Check(cls.get())) raise(PyExc_TypeError, "a load record keeps classes only");
  // A change to a base or to the metaclass changes what the class does: both are kept too.
  // Classes of the host's own cannot be changed and need no snapshot.
  for (PyObject* kind : {cls.get(), reinterpret_cast<PyObject*>(Py_TYPE(cls.get()))}) {
    PyObject* mro = reinterpret_cast<PyTypeObject*>(kind)->tp_mro;
    if (mro == nullptr) raise(PyExc_TypeError, "a load record keeps ready classes only");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
      PyObject* base = PyTuple_GET_ITEM(mro, i);
      if (PyType_HasFeature(reinterpret_cast<PyTypeObject*>(base), Py_TPFLAGS_HEAPTYPE)) {
        snapshot(base);
      }
    }
  }
}

void LoadRecord::keep_shipped_class(Handle module, Handle cls, const char* sibling) {
  if (!is_shipped_class(module, cls, sibling)) {
    refused_ = true;
    return;
  }
  keep_class(cls);
}

bool LoadRecord::bindings_hold() const {
  return std::ranges::all_of(bindings_, [](const Binding& binding) {
    return Py_TYPE(binding.owner.get()) == binding.owner_type &&
           entry(binding.namespace_.get(), binding.name) == binding.object.get();
  });
}

bool LoadRecord::holds() {
  if (refused_ || !bindings_hold()) return false;
  bool tags_hold = true;
  for (const ClassSnapshot& taken : classes_) {
    auto* type = reinterpret_cast<PyTypeObject*>(taken.cls.get());
    tags_hold = tags_hold && taken.tag != 0 && valid_tag(type) == taken.tag;
  }
  if (tags_hold) return true;
  // Something touched a class (or its tags ran out): compare what the classes hold now, and
  // when it is all as recorded (a patch undone), remember the new tags for the next question.
  for (const ClassSnapshot& taken : classes_) {
    auto* type = reinterpret_cast<PyTypeObject*>(taken.cls.get());
    PyObject* members = type->tp_dict;
    if (PyDict_GET_SIZE(members) != PyDict_GET_SIZE(taken.members.get())) return false;
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* member = nullptr;
    while (PyDict_Next(taken.members.get(), &position, &name, &member)) {
      if (entry(members, name) != member) return false;
    }
    if (!same_items(type->tp_mro, taken.mro.get())) return false;
  }
  for (ClassSnapshot& taken : classes_) {
    taken.tag = fresh_tag(reinterpret_cast<PyTypeObject*>(taken.cls.get()));
  }
  return true;
}

bool is_shipped_class(Handle module, Handle cls, const char* sibling) {
  if (!PyType_Check(cls.get()) || Py_TYPE(cls.get()) != &PyType_Type) return false;
  Ref defined_in = text_attribute(cls, "__module__");
  Ref package = text_attribute(module, "__package__");
  Ref own_file = text_attribute(module, "__file__");
  if (!defined_in || !package || !own_file) return false;
  if (utf8(defined_in) != utf8(package) + "." + sibling) return false;
  PyObject* defining = PyDict_GetItemWithError(PyImport_GetModuleDict(), defined_in.get());
  if (defining == nullptr) {
    if (PyErr_Occurred() != nullptr) throw_error_set();
    return false;
  }
  Ref defining_file = text_attribute(defining, "__file__");
  if (!defining_file) return false;
  std::string expected = utf8(own_file);
  expected.resize(expected.rfind('/') + 1);  // npos + 1 is 0: no directory part at all
  expected += sibling;
  expected += ".py";
  return utf8(defining_file) == expected && compiled_from(cls, expected);
}

}  // namespace vornik::host
