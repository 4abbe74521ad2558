// The diff status of a record, as the records' class constants name it and as it is stored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/function.h"
#include "host/ref.h"
#include "nbdelta/access.h"

namespace vornik::nbdelta {

enum class Status : std::uint8_t { kUnchanged, kAdded, kRemoved, kModified };

inline constexpr Status kStatuses[] = {Status::kUnchanged, Status::kAdded, Status::kRemoved,
                                       Status::kModified};

// The class constant that holds a status: "UNCHANGED", "ADDED", ...
const char* constant_name(Status status);

// The stored value of a status, "unchanged", "added", ...: the very object the class constant
// holds.
inline PyObject* status_value(Status status) {
  static const std::array<PyObject*, 4> kValues = {host::key<"unchanged">(), host::key<"added">(),
                                                   host::key<"removed">(), host::key<"modified">()};
  return kValues[static_cast<std::size_t>(status)];
}

// The four constants, in the order both record classes declare them.
std::vector<host::ClassConstant> status_constants();

// `assert value in (UNCHANGED, ADDED, REMOVED, MODIFIED)` of the class bound to `class_name`,
// made only while the host runs with assertions.
void assert_status(host::Function& function, const char* class_name, host::Handle value);

// `self.status = <class>.UNCHANGED`, the class looked up as `Class` in the module at call time.
template <host::Literal Class>
void mark_unchanged(host::Function& function, host::Handle self) {
  host::Ref unchanged = host::getattr(function.global(Class.chars), "UNCHANGED");
  host::setattr(self, "status", unchanged);
}

// The `status` property of the record class bound to `Class`, whose marks live in the mapping
// `Marks(self)`: an absent mark reads as the class's UNCHANGED.
template <host::Ref (*Marks)(host::Handle), host::Literal Class>
host::PropertySpec record_status_property(const char* qualname, const char* doc) {
  auto get = [](host::Function& function, PyObject* const* args) {
    host::Ref marks = Marks(args[0]);
    return get_or(marks, host::key<"diff_status">(),
                  [&] { return host::getattr(function.global(Class.chars), "UNCHANGED"); });
  };
  auto set = [](host::Function& function, PyObject* const* args) {
    assert_status(function, Class.chars, args[1]);
    set_item(Marks(args[0]), host::key<"diff_status">(), args[1]);
    return host::none();
  };
  return host::property({.name = "status",
                         .qualname = qualname,
                         .doc = doc,
                         .annotation = "str",
                         .check = host::TypeCheck::kStr,
                         .get = get,
                         .set = set});
}

}  // namespace vornik::nbdelta
