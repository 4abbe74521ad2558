// The source merges of one call of merge_files: labels made once, the in-process engine opened
// at the first merge where it may stand in for `_merge_source`, and `_merge_source` called for
// every cell it does not merge.
//
// Opening the engine's session runs git once, which takes long. Where the caller's work is
// invisible until its next visible effect (a DirectRecords merge whose debug records are
// proven silent), merges asked for while git runs are kept and done by `flush`, which the
// caller calls before that effect, before writing, and before raising an error: the visible
// effects then come in the very order the merges one by one would give.
#pragma once

#include <optional>
#include <vector>

#include "host/function.h"
#include "host/ref.h"
#include "nbweave/merge_engine.h"

namespace vornik::nbweave {

class CellSources {
 public:
  CellSources(host::Function& function, PyObject* file_path)
      : function_(function), file_path_(file_path) {}

  bool started() const { return static_cast<bool>(merge_source_); }
  bool pending() const { return !pending_.empty(); }

  // At the first source merge: `merge_source` is the function that merges where the engine
  // does not; the engine may stand in for it only when it is the module's own and `g`, made from
  // `git_class`, is GitPython's own command object. `defer`: merges may wait for the session.
  void start(host::Ref merge_source, host::Handle git_class, host::Handle g, bool defer);

  // Before the documents are read, where nothing the caller can see will happen before the
  // first source merge: prepares the session that the first merge would open then, for
  // `git_class`'s executable as it is now, up to starting git. `release_early(true)` lets its
  // git start, once the documents show that a source merge will come; `start` then takes it
  // over where nothing visible happened meanwhile (`forget_early` was not called) and the
  // executable is still that very object. Otherwise it is dropped, its git never started or
  // killed.
  void prepare_early(host::Handle git_class);
  bool prepared_early() const { return early_.has_value(); }
  void release_early(bool go);
  void forget_early();

  // `record_of().source = _merge_source(g, current, base, incoming, current_name=...,
  // incoming_name=...)`, or the engine's lines where it may stand in; now, or at the next flush
  // while the session opens.
  template <class Records, class RecordOf>
  void merge(Records& records, host::Handle g, RecordOf&& record_of, host::Handle current,
             host::Handle base, host::Handle incoming) {
    if (opening_) {
      pending_.push_back(
          {host::Ref::borrow(record_of()), current.new_ref(), base.new_ref(), incoming.new_ref()});
      return;
    }
    host::Ref merged = lines(records, g, current, base, incoming);
    records.set_source(record_of(), merged);
  }

  // Finishes opening the session and does the merges kept meanwhile, in order. Whatever
  // fails on the way, nothing is kept any more: a failure of opening (a signal while git runs)
  // ends the merge.
  template <class Records>
  void flush(Records& records, host::Handle g) {
    if (!opening_ && pending_.empty()) return;
    std::vector<Pending> kept = std::move(pending_);
    pending_.clear();
    if (opening_) finish_session();
    for (const Pending& cell : kept) {
      records.set_source(cell.record, lines(records, g, cell.current, cell.base, cell.incoming));
    }
  }

  // While the session still opens: merges the cells kept with the engine as the session will
  // merge them once open, where that cannot depend on what the opening decides (every cell
  // merges cleanly in process, so that the conflict style plays no part), and sets their
  // sources; true then, and the cells stay kept until confirm(). Otherwise does nothing.
  template <class Records>
  bool flush_ahead(Records& records) {
    if (!opening_ || pending_.empty()) return false;
    std::optional<engine::Session> ahead = opening_->ahead();
    if (!ahead) return false;
    std::vector<host::Ref> merged;
    for (const Pending& cell : pending_) {
      engine::Session::Cell result =
          ahead->merge(cell.current, cell.base, cell.incoming, current_label_, incoming_label_);
      if (!result.lines || result.conflicted) return false;
      merged.push_back(std::move(result.lines));
    }
    for (size_t i = 0; i < merged.size(); ++i) records.set_source(pending_[i].record, merged[i]);
    return true;
  }

  // After flush_ahead: finishes opening the session. True when it opened, so that the cells
  // merged ahead hold what it gives them; they are done then. False: they stay kept, and the
  // next flush merges them as they must be merged.
  bool confirm() {
    // As in flush: a failure of opening ends the merge, with nothing kept.
    std::vector<Pending> kept = std::move(pending_);
    pending_.clear();
    finish_session();
    if (engine_) return true;
    pending_ = std::move(kept);
    return false;
  }

 private:
  struct Pending {
    host::Ref record;
    host::Ref current;
    host::Ref base;
    host::Ref incoming;
  };

  // The engine's lines where it may stand in, a merge with conflicts only where
  // `records.command_error_original()` says that `_merge_source` would let git's report of them
  // pass; else `_merge_source`'s.
  template <class Records>
  host::Ref lines(Records& records, host::Handle g, host::Handle current, host::Handle base,
                  host::Handle incoming) {
    if (engine_) {
      engine::Session::Cell cell =
          engine_->merge(current, base, incoming, current_label_, incoming_label_);
      if (cell.lines && (!cell.conflicted || records.command_error_original())) {
        return std::move(cell.lines);
      }
    }
    return call_merge_source(g, current, base, incoming);
  }

  host::Ref call_merge_source(host::Handle g, host::Handle current, host::Handle base,
                              host::Handle incoming);
  void finish_session();

  host::Function& function_;
  PyObject* file_path_;
  host::Ref merge_source_;
  host::Ref current_label_;
  host::Ref incoming_label_;
  host::Ref label_keywords_;
  std::optional<engine::Session> engine_;
  // The session while it opens.
  std::optional<engine::Session::Opening> opening_;
  // A session opened before the first merge, and the executable it was opened for.
  std::optional<engine::Session::Opening> early_;
  host::Ref early_executable_;
  // Early sessions let go of: their directories are removed while the merge goes on.
  std::vector<engine::Session::Opening> dropped_;
  std::vector<Pending> pending_;
};

}  // namespace vornik::nbweave
