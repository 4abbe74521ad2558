// Building a module namespace in the order a module body would bind its names.
#pragma once

#include <initializer_list>
#include <vector>

#include "host/function.h"
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

  PyObject* module() const { return module_; }
  // The module's namespace (borrowed; the module keeps it).
  PyObject* globals() const { return PyModule_GetDict(module_); }

  void bind(const char* name, Handle value) const;
  // `import name` (binds the top-level package, like the statement).
  void import(const char* name) const;
  // `from name import a, b, ...`; `level` 1 for a relative import from the module's package.
  void import_from(const char* name, std::initializer_list<const char*> names, int level = 0) const;
  // Looks a bound name up again.
  Ref get(const char* name) const;
  // `def`: makes the function `spec` declares and binds it under its name. `defaults` are the
  // values of the trailing parameters that have them.
  Ref define(const FunctionSpec& spec, std::vector<Handle> defaults = {}) const;
  // `class`: makes the class `spec` declares on `bases` and binds it under its name.
  Ref define_class(const ClassSpec& spec, std::initializer_list<Handle> bases = {}) const;

 private:
  PyObject* module_;
};

// A native module with the two-step initialisation (create, then execute), whose execute step
// runs `load` once per process.
struct ModuleSpec {
  const char* qualified_name;  // the import name, for the refusal of a second initialisation
  const char* name;            // the last part of it
  const char* doc = nullptr;
  void (*load)(const ModuleBody& body) = nullptr;
  PyMethodDef* methods = nullptr;
};

// Defines `PyInit_<NAME>`, the initialisation function of the module `NAME` whose import name is
// QUALIFIED_NAME; the rest are the other fields of its ModuleSpec:
//   VORNIK_MODULE(nbdelta, "vornik_git.drivers.nbdelta", .load = load)
#define VORNIK_MODULE(NAME, QUALIFIED_NAME, ...)                     \
  namespace {                                                        \
  const ::vornik::host::ModuleSpec kModuleSpec{                      \
      .qualified_name = QUALIFIED_NAME, .name = #NAME, __VA_ARGS__}; \
  }                                                                  \
  PyMODINIT_FUNC PyInit_##NAME() {                                   \
    return ::vornik::host::initialise<kModuleSpec>();                \
  }

// What the module's initialisation function returns.
template <const ModuleSpec& Spec>
PyObject* initialise() {
  static InitialiseOnce once(Spec.qualified_name);
  static PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* module) {
         return boundary_status([&] {
           once.claim();
           Spec.load(ModuleBody(module));
         });
       })},
      {0, nullptr},
  };
  static PyModuleDef definition = {
      PyModuleDef_HEAD_INIT, Spec.name, Spec.doc, 0, Spec.methods, slots, nullptr, nullptr, nullptr,
  };
  return PyModuleDef_Init(&definition);
}

}  // namespace vornik::host
