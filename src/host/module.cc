#include "host/module.h"

#include <algorithm>
#include <string>
#include <utility>

namespace vornik::host {

void InitialiseOnce::claim() {
  if (claimed_) {
    raise_format(PyExc_ImportError, "%s can be initialised only once per process", module_name_);
  }
  claimed_ = true;
}

void ModuleBody::bind(const char* name, Handle value) const {
  check_status(PyDict_SetItem(globals(), intern(name), value));
}

void ModuleBody::import(const char* name) const {
  Ref imported = check(PyImport_ImportModuleLevel(name, globals(), nullptr, nullptr, 0));
  // `import a.b` binds `a`: the import of a dotted name without a from-list returns it.
  std::string top(name);
  top.resize(std::min(top.size(), top.find('.')));
  check_status(PyDict_SetItemString(globals(), top.c_str(), imported.get()));
}

void ModuleBody::import_from(const char* name, std::initializer_list<const char*> names,
                             int level) const {
  Ref fromlist = intern_tuple(names);
  Ref source = check(PyImport_ImportModuleLevel(name, globals(), nullptr, fromlist.get(), level));
  for (const char* each : names) {
    PyObject* value = PyObject_GetAttr(source.get(), intern(each));
    if (value == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
      PyErr_Clear();
      raise_format(PyExc_ImportError, "cannot import name %S", intern(each));
    }
    Ref owned = Ref::steal(value);
    bind(each, owned);
  }
}

Ref ModuleBody::get(const char* name) const {
  PyObject* value = PyDict_GetItemWithError(globals(), intern(name));
  if (value == nullptr) {
    if (!PyErr_Occurred()) raise_format(PyExc_NameError, "name '%s' is not defined", name);
    throw_error_set();
  }
  return Ref::borrow(value);
}

Ref ModuleBody::define(const FunctionSpec& spec, std::vector<Handle> defaults) const {
  Ref function = make_function(spec, module_, std::move(defaults));
  bind(spec.name, function);
  return function;
}

Ref ModuleBody::define_class(const ClassSpec& spec, std::initializer_list<Handle> bases) const {
  Ref base_tuple = check(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
  Py_ssize_t index = 0;
  for (Handle base : bases) PyTuple_SET_ITEM(base_tuple.get(), index++, Py_NewRef(base.get()));
  Ref cls = make_class(spec, module_, base_tuple);
  bind(spec.name, cls);
  return cls;
}

}  // namespace vornik::host
