// The source merge as the merge module calls it: the entrance to `vornik_git._engine`, which
// holds the one copy of the source merge in the process (see sourcemerge/entrance.h).
#pragma once

#include "host/ref.h"
#include "sourcemerge/entrance.h"

namespace vornik::nbweave::engine {

using sourcemerge::Releases;
using sourcemerge::Style;
using sourcemerge::entrance::drop_ordinary_error;
using sourcemerge::entrance::Session;
using sourcemerge::entrance::stock_command_error;
using sourcemerge::entrance::stock_git;
using sourcemerge::entrance::stock_git_class;

// At the merge module's load: connects it to the source merge, which remembers GitPython as it
// finds it at its own load (at the latest now).
inline void remember_git(host::Handle /*git_module*/) {
  sourcemerge::entrance::connect();
}

}  // namespace vornik::nbweave::engine
