// The source merges of one call of merge_files: labels made once, the in-process engine opened
// at the first merge where it may stand in for `_merge_source`, and `_merge_source` called for
// every cell it does not merge.
#pragma once

#include <optional>

#include "host/function.h"
#include "host/ref.h"
#include "nbweave/merge_engine.h"

namespace vornik::nbweave {

class CellSources {
 public:
  CellSources(host::Function& function, PyObject* file_path)
      : function_(function), file_path_(file_path) {}

  bool started() const { return static_cast<bool>(merge_source_); }

  // At the first source merge: `merge_source` is the function that merges where the engine
  // does not; the engine may stand in for it only when it is the module's own and `g`, made from
  // `git_class`, is GitPython's own command object.
  void start(host::Ref merge_source, host::Handle git_class, host::Handle g);

  // `_merge_source(g, current, base, incoming, current_name=..., incoming_name=...)`, or the
  // engine's lines where it may stand in; a merge with conflicts only where
  // `command_error_original` (called then) says that `_merge_source` would let git's report of
  // them pass.
  template <class CommandErrorOriginal>
  host::Ref merge(host::Handle g, host::Handle current, host::Handle base, host::Handle incoming,
                  CommandErrorOriginal&& command_error_original) {
    if (engine_) {
      engine::Session::Cell cell =
          engine_->merge(current, base, incoming, current_label_, incoming_label_);
      if (cell.lines && (!cell.conflicted || command_error_original())) {
        return std::move(cell.lines);
      }
    }
    return call_merge_source(g, current, base, incoming);
  }

 private:
  host::Ref call_merge_source(host::Handle g, host::Handle current, host::Handle base,
                              host::Handle incoming);

  host::Function& function_;
  PyObject* file_path_;
  host::Ref merge_source_;
  host::Ref current_label_;
  host::Ref incoming_label_;
  host::Ref label_keywords_;
  std::optional<engine::Session> engine_;
};

}  // namespace vornik::nbweave
