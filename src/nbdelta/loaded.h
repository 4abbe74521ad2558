// The objects the diff module's load sequence made and bound, kept for the rest of the process.
#pragma once

#include "host/ref.h"

namespace vornik::nbdelta {

struct Loaded {
  host::Ref cell;
  host::Ref diff_cell;
  host::Ref cell_modified;
  host::Ref diff_parameter;
};

// Filled by the load sequence. Never freed: the functions that use it may be called until the
// host shuts down, and releasing host objects after that is not safe.
inline Loaded& loaded() {
  static auto* const kept = new Loaded;  // NOLINT(cppcoreguidelines-owning-memory)
  return *kept;
}

}  // namespace vornik::nbdelta
