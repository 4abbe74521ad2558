// The functions of the notebook merge module: their bodies and descriptions are defined beside
// their behaviour, and the load sequence (module.cc) makes them.
#pragma once

#include "host/function.h"

namespace vornik::nbweave {

extern const host::FunctionSpec kMergeSourceSpec;
extern const host::ClassSpec kMergeCellClass;
extern const host::FunctionSpec kCellChangedSpec;
extern const host::FunctionSpec kMergeFilesSpec;

}  // namespace vornik::nbweave
