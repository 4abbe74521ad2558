#include <unordered_map>

#include "host/ref.h"

namespace vornik::host {

PyObject* intern(const char* text) {
  // Keyed by the literal's address: callers pass string literals, so each lookup after the
  // first is a pointer hash. The texts live as long as the process, like the literals.
  static std::unordered_map<const char*, PyObject*> table;
  auto found = table.find(text);
  if (found != table.end()) return found->second;
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) throw_error_set();
  table.emplace(text, name);
  return name;
}

Ref intern_tuple(std::initializer_list<const char*> texts) {
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  Py_ssize_t index = 0;
  for (const char* text : texts) {
    PyTuple_SET_ITEM(tuple.get(), index++, Py_NewRef(intern(text)));
  }
  return tuple;
}

}  // namespace vornik::host
