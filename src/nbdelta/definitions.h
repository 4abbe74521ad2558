// What the diff module's load sequence defines, each declared beside its behaviour.
#pragma once

#include "host/function.h"

namespace vornik::nbdelta {

extern const host::ClassSpec kDiffCellClass;        // diff_cell.cc
extern const host::FunctionSpec kCellModifiedSpec;  // diff_cell.cc
extern const host::ClassSpec kDiffParameterClass;   // diff_parameter.cc
extern const host::FunctionSpec kDiffDictsSpec;     // notebook_diff.cc

}  // namespace vornik::nbdelta
