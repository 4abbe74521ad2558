// Building a module namespace in the order a module body would bind its names.
#pragma once

#include <initializer_list>

#include "host/ref.h"

namespace vornik::host {

// Refuses a second initialisation of a module in one process.
class InitialiseOnce {
 public:
  explicit InitialiseOnce(const char* module_name) : module_name_(module_name) {}
  // Raises ImportError when the module was already initialised in this process.
  void claim();

 private:
  const char* module_name_;
  bool claimed_ = false;
};

class ModuleBody {
 public:
  explicit ModuleBody(PyObject* module) : module_(module) {}

  // The module's namespace (borrowed; the module keeps it).
  PyObject* globals() const { return PyModule_GetDict(module_); }

  void bind(const char* name, Handle value) const;
  // `import name` (binds the top-level package, like the statement).
  void import(const char* name) const;
  // `from name import a, b, ...`; `level` 1 for a relative import from the module's package.
  void import_from(const char* name, std::initializer_list<const char*> names, int level = 0) const;
  // Looks a bound name up again.
  Ref get(const char* name) const;

 private:
  PyObject* module_;
};

}  // namespace vornik::host
