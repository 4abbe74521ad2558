// The source merge through GitPython, as `_merge_source` does it.
#pragma once

#include "host/ref.h"

namespace vornik::sourcemerge {

// `_merge_source`'s body: `args` are its six bound arguments (g, current, base, incoming,
// current_name, incoming_name), already held to their types; `globals` is the namespace of the
// merge module, where `tempfile`, `os` and `git` are looked up at each call, so that patching
// them there reaches the merge. The merged lines.
host::Ref merge_through_git(host::Handle globals, PyObject* const* args);

}  // namespace vornik::sourcemerge
