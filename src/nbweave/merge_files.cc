// `merge_files`: the three-way merge of one notebook file, written over the current version's
// file. Where every collaborator is the one made at load, the merge works on the documents'
// cell objects; otherwise it goes through MergeCell and the module's functions.
#include "host/collector.h"
#include "host/function.h"
#include "nbweave/collaborators.h"
#include "nbweave/nbweave.h"
#include "nbweave/notebook_merge.h"

namespace vornik::nbweave {
namespace {

using host::Function;
using host::Ref;
using host::TypeCheck;

Ref merge_files(Function& function, PyObject* const* args) {
  // Everything the merge builds is freed by reference counting when it returns; collections
  // meanwhile would only walk the three documents again and again.
  host::CollectorPause pause;
  Collaborators collaborators = check_collaborators();
  if (collaborators == Collaborators::kReplaced) {
    NotebookMerge<MemberRecords>(function, args, false).run();
  } else {
    NotebookMerge<DirectRecords>(function, args, collaborators == Collaborators::kOriginal).run();
  }
  return Ref::borrow(Py_None);
}

}  // namespace

const host::FunctionSpec kMergeFilesSpec{
    .name = "merge_files",
    .qualname = "merge_files",
    .doc = "Ipython Notebook Merge Driver main",
    .parameters = {{"base_file_path", "str", TypeCheck::kStr},
                   {"current_file_path", "str", TypeCheck::kStr},
                   {"incoming_file_path", "str", TypeCheck::kStr},
                   {"file_path", "str", TypeCheck::kStr}},
    .return_annotation = "None",
    .working_names = {"current_file",
                      "current",
                      "base_file",
                      "base",
                      "incoming_file",
                      "incoming",
                      "current_cells",
                      "merged_cells",
                      "base_cells",
                      "incoming_cells",
                      "cell_id",
                      "comp_names",
                      "incoming_comp_name",
                      "g",
                      "current_cell_diff",
                      "incoming_cell_diff",
                      "current_comp_name",
                      "incoming_comment",
                      "new_cell",
                      "list_of_tuples",
                      "offset",
                      "pop_comp_name",
                      "comp_name",
                      "comp_id",
                      "comp_ids",
                      "new_parents",
                      "current_parameters",
                      "base_parameters",
                      "incoming_parameters",
                      "merged_parameters",
                      "name",
                      "merged",
                      "fp"},
    .body = merge_files,
};

}  // namespace vornik::nbweave
