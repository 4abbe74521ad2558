// The merge compares cells and parameters with the structural comparison of its own room.
#pragma once

#include "structdiff/structure.h"

namespace vornik::nbweave {

using structdiff::DiffMarkers;
using structdiff::structural_diff;
using structdiff::values_equal;

}  // namespace vornik::nbweave
