// GitPython as it was when the source-merge module loaded: its command class, the members
// through which that class starts git, and its command error. The engine stands in for
// `g.merge_file` only while all of them are still the ones found then.
#pragma once

#include "host/ref.h"

namespace vornik::sourcemerge::loaded {

// Records, once per process, what `git_module` holds now. A `git` module without these names is
// not GitPython as the engine knows it: the engine then stays off.
void remember(host::Handle git_module);

// Whether `g` is an instance of GitPython's own command class, which still starts git the way
// it did at load.
bool is_git_instance(host::Handle g);

// Whether `git_class` is GitPython's own command class, which still starts git the way it did
// at load.
bool is_git_class(host::Handle git_class);

// Whether `error_class` is GitPython's own GitCommandError.
bool is_command_error(host::Handle error_class);

}  // namespace vornik::sourcemerge::loaded
