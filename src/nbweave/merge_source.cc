// `_merge_source`: the merge module's entrance to the source merge through GitPython.
#include "host/function.h"
#include "nbweave/nbweave.h"
#include "sourcemerge/entrance.h"

namespace vornik::nbweave {
namespace {

using host::TypeCheck;

host::Ref merge_source(host::Function& function, PyObject* const* args) {
  return sourcemerge::entrance::merge_source(function.globals(), args);
}

}  // namespace

const host::FunctionSpec kMergeSourceSpec{
    .name = "_merge_source",
    .qualname = "_merge_source",
    .parameters = {{"g", "git.cmd.Git"},
                   {"current", "List[str]", TypeCheck::kList},
                   {"base", "List[str]", TypeCheck::kList},
                   {"incoming", "List[str]", TypeCheck::kList},
                   {"current_name", "Optional[str]", TypeCheck::kOptionalStr},
                   {"incoming_name", "Optional[str]", TypeCheck::kOptionalStr}},
    .return_annotation = "List[str]",
    .working_names = {"tempdir", "current_path", "base_path", "incoming_path", "current_file",
                      "base_file", "incoming_file", "fp", "lines", "line"},
    .body = merge_source,
};

}  // namespace vornik::nbweave
