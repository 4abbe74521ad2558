// The diff status of a record, as the records' class constants name it and as it is stored.
#pragma once

#include <cstdint>
#include <vector>

#include "host/function.h"
#include "host/ref.h"

namespace vornik::nbdelta {

enum class Status : std::uint8_t { kUnchanged, kAdded, kRemoved, kModified };

inline constexpr Status kStatuses[] = {Status::kUnchanged, Status::kAdded, Status::kRemoved,
                                       Status::kModified};

// The class constant that holds a status: "UNCHANGED", "ADDED", ...
const char* constant_name(Status status);

// The stored value of a status, "unchanged", "added", ...: the very object the class constant
// holds.
PyObject* status_value(Status status);

// The four constants, in the order both record classes declare them.
std::vector<host::ClassConstant> status_constants();

// `assert value in (UNCHANGED, ADDED, REMOVED, MODIFIED)` of the class bound to `class_name`,
// made only while the host runs with assertions.
void assert_status(host::Function& function, const char* class_name, host::Handle value);

}  // namespace vornik::nbdelta
