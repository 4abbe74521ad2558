#include "nbdelta/status.h"

#include <array>
#include <cstddef>

#include "host/compat.h"

namespace vornik::nbdelta {

const char* constant_name(Status status) {
  constexpr std::array<const char*, 4> kNames = {"UNCHANGED", "ADDED", "REMOVED", "MODIFIED"};
  return kNames.at(static_cast<std::size_t>(status));
}

std::vector<host::ClassConstant> status_constants() {
  return {{"UNCHANGED", "unchanged"},
          {"ADDED", "added"},
          {"REMOVED", "removed"},
          {"MODIFIED", "modified"}};
}

void assert_status(host::Function& function, const char* class_name, host::Handle value) {
  if (!host::assertions_enabled()) return;
  host::Ref cls = function.global(class_name);
  for (Status status : kStatuses) {
    host::Ref constant = host::getattr(cls, constant_name(status));
    if (host::check_status(PyObject_RichCompareBool(value, constant.get(), Py_EQ)) != 0) return;
  }
  PyErr_SetNone(PyExc_AssertionError);
  host::throw_error_set();
}

}  // namespace vornik::nbdelta
