#include "nbdelta/status.h"

#include "host/compat.h"

namespace vornik::nbdelta {

const char* constant_name(Status status) {
  switch (status) {
    case Status::kUnchanged:
      return "UNCHANGED";
    case Status::kAdded:
      return "ADDED";
    case Status::kRemoved:
      return "REMOVED";
    case Status::kModified:
      return "MODIFIED";
  }
  return "UNCHANGED";
}

PyObject* status_value(Status status) {
  switch (status) {
    case Status::kUnchanged:
      return host::key<"unchanged">();
    case Status::kAdded:
      return host::key<"added">();
    case Status::kRemoved:
      return host::key<"removed">();
    case Status::kModified:
      return host::key<"modified">();
  }
  return host::key<"unchanged">();
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
