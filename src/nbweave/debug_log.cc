#include "nbweave/debug_log.h"

#include <memory>

#include "host/unchanged.h"

namespace vornik::nbweave {
namespace {

using host::Handle;
using host::Ref;

// What a silent call reads: the root logger, and the objects whose code would run. Null while
// the host's logging is not as the proof knows it; kept for the process.
struct Silence {
  host::LoadRecord* record = nullptr;
  Ref root;
  Ref debug_level;
};
Silence* silence = nullptr;

// Whether `function` is a function defined by the module whose namespace is `globals`.
bool defined_in(PyObject* function, PyObject* globals) {
  return function != nullptr && PyFunction_Check(function) &&
         PyFunction_GET_GLOBALS(function) == globals;
}

// An attribute of the instance itself, read without running code: null when absent.
PyObject* own_attribute(PyObject* dict, const char* name) {
  PyObject* value = PyDict_GetItemWithError(dict, host::intern(name));
  if (value == nullptr && PyErr_Occurred() != nullptr) host::throw_error_set();
  return value;
}

}  // namespace

bool debug_is_silent() {
  if (silence == nullptr || !silence->record->holds()) return false;
  // The root's attributes (its class, kept unchanged, defines no `__dict__` of its own).
  host::Ref attributes = host::check(PyObject_GenericGetDict(silence->root.get(), nullptr));
  PyObject* dict = attributes.get();
  if (!PyDict_CheckExact(dict)) return false;
  // Methods of the class are not shadowed by the instance.
  if (own_attribute(dict, "debug") != nullptr || own_attribute(dict, "isEnabledFor") != nullptr) {
    return false;
  }
  PyObject* handlers = own_attribute(dict, "handlers");
  if (handlers == nullptr || !PyList_CheckExact(handlers) || PyList_GET_SIZE(handlers) == 0) {
    return false;
  }
  if (own_attribute(dict, "disabled") != Py_False) return false;
  PyObject* cache = own_attribute(dict, "_cache");
  if (cache == nullptr || !PyDict_CheckExact(cache)) return false;
  PyObject* enabled = PyDict_GetItemWithError(cache, silence->debug_level.get());
  if (enabled == nullptr && PyErr_Occurred() != nullptr) host::throw_error_set();
  return enabled == Py_False;
}

void record_logging(Handle logging) {
  if (!PyModule_Check(logging.get())) return;
  PyObject* globals = PyModule_GetDict(logging);
  auto record = std::make_unique<host::LoadRecord>();
  Ref debug = record->bind_current(logging, "debug");
  Ref root = record->bind_current(logging, "root");
  Ref level = record->bind_current(logging, "DEBUG");
  if (!defined_in(debug.get(), globals) || !root || !level || !PyLong_CheckExact(level.get()) ||
      PyLong_AsLong(level.get()) != 10) {
    PyErr_Clear();
    return;
  }
  // Logger.debug and Logger.isEnabledFor as logging defines them, on the root's class.
  auto* root_type = Py_TYPE(root.get());
  for (const char* method : {"debug", "isEnabledFor"}) {
    if (!defined_in(_PyType_Lookup(root_type, host::intern(method)), globals)) return;
  }
  if (root_type->tp_getattro != PyObject_GenericGetAttr) return;
  record->keep_class(reinterpret_cast<PyObject*>(root_type));
  // Both kept for the process, never destroyed (see host::LoadRecord).
  silence = new Silence{record.release(), std::move(root),
                        std::move(level)};  // NOLINT(cppcoreguidelines-owning-memory)
}

void write_debug(Handle debug, Handle message) {
  if (debug_is_silent()) return;
  host::call(debug, message);
}

}  // namespace vornik::nbweave
