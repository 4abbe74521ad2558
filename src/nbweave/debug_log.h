// The debug record the change test writes for every cell difference, through the host's
// `logging.debug`, and the proof that lets a merge leave out a call that would do nothing.
#pragma once

#include "host/ref.h"

namespace vornik::nbweave {

// Called at load with the `logging` module the merge module imported.
void record_logging(host::Handle logging);

// `logging.debug(message)` through the function bound at load (the caller has made sure that the
// module's `logging.debug` still is that function), except when the call is proven to do nothing:
// the root logger has a handler (so `basicConfig` is not called), is not disabled and has cached
// that it does not log debug records, and every object on that way is the one found at load.
void write_debug(host::Handle debug, host::Handle message);

// Whether `logging.debug` through the function bound at load is now proven to do nothing.
bool debug_is_silent();

}  // namespace vornik::nbweave
