// The entrance to the source merge for the modules that merge notebooks. Its code and its state
// (GitPython as loaded, the git program last asked for its version) live once in the process,
// in the module `vornik_git._engine`; that module exports the table below as a capsule, and the
// functions of `entrance` reach the code through it, never through a copy of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "host/ref.h"

namespace vornik::sourcemerge {

// git's conflict styles (merge.conflictStyle).
enum class Style : std::uint8_t { kMerge, kDiff3, kZdiff3 };

// Which git releases a session may stand in for: those proven to merge as the engine does, or,
// to compare another release with the engine, any.
enum class Releases : std::uint8_t { kProven, kAny };

// One cell's sources merged in process.
struct MergedCell {
  host::Ref lines;          // null: this cell goes through `_merge_source`
  bool conflicted = false;  // git would report conflicts (a non-zero exit status)
};

namespace engine {
class Session;
class Opening;
}  // namespace engine

// What `vornik_git._engine` exports, under the capsule name kTableName (its attribute
// kTableAttribute). No entry throws: a failure is the host's error indicator, set, with a null
// result or -1.
struct Table {
  // sizeof(Table) in the exporting build: a module built against another layout refuses it.
  std::size_t size;
  PyObject* (*merge_source)(PyObject* globals, PyObject* const* args);
  // 1 or 0; -1 with an error set.
  int (*stock_git)(PyObject* g);
  int (*stock_git_class)(PyObject* git_class);
  int (*stock_command_error)(PyObject* error_class);
  // 0 with `*opening` a session being opened, or null (none); -1 with an error set.
  int (*start_session)(PyObject* globals, PyObject* executable, Releases releases, int held,
                       engine::Opening** opening);
  void (*release_opening)(engine::Opening* opening, int go);
  // 0 with `*session` the session ahead (see engine::Opening::ahead) or null; -1 with an error
  // set.
  int (*session_ahead)(const engine::Opening* opening, engine::Session** session);
  // Takes `opening` over: 0 with `*session` the new session or null (none); -1 with an error
  // set.
  int (*finish_session)(engine::Opening* opening, engine::Session** session);
  void (*drop_opening)(engine::Opening* opening);
  void (*close_session)(engine::Session* session);
  Style (*session_style)(const engine::Session* session);
  // 0 with `*lines` the merged lines (a new reference) or null (the cell goes through
  // `_merge_source`); -1 with an error set.
  int (*merge_cell)(const engine::Session* session, PyObject* const* sides_and_labels,
                    PyObject** lines, int* conflicted);
};

inline constexpr const char* kTableName = "vornik_git._engine._source_merge";
inline constexpr const char* kTableAttribute = "_source_merge";
inline constexpr const char* kRoomModule = "vornik_git._engine";

namespace entrance {

// Imports `vornik_git._engine` (which remembers GitPython as it finds it at its own load) and
// takes its table; call at the using module's load. Raises ImportError when the table is
// missing or of another build.
void connect();

// `_merge_source` with these six bound arguments (g, current, base, incoming, current_name,
// incoming_name), already held to their types, its globals looked up in `globals`.
host::Ref merge_source(host::Handle globals, PyObject* const* args);

// Whether `g` is an instance of GitPython's own command class, which still starts git the way
// it did at load.
bool stock_git(host::Handle g);
// Whether `git_class` is GitPython's own command class, which still starts git the way it did
// at load.
bool stock_git_class(host::Handle git_class);
// Whether `error_class` is GitPython's own GitCommandError.
bool stock_command_error(host::Handle error_class);

// With an ordinary error set (an Exception), clears it and returns true: the caller then takes
// `_merge_source`, which meets the same failure and raises it itself. Anything else
// (KeyboardInterrupt, SystemExit) stays set and the caller rethrows.
inline bool drop_ordinary_error() {
  if (PyErr_ExceptionMatches(PyExc_Exception) == 0) return false;
  PyErr_Clear();
  return true;
}

// One merge's in-process source merge (see engine::Session, whose meaning it has).
class Session {
 public:
  class Opening;

  static std::optional<Session> open(host::Handle globals, host::Handle executable,
                                     Releases releases = Releases::kProven);
  // open() in two steps, so that the caller may go on while the probe's git runs: all that
  // open() does up to starting git, then Opening::finish().
  static Opening start(host::Handle globals, host::Handle executable,
                       Releases releases = Releases::kProven, bool held = false);

  Style style() const;

  using Cell = MergedCell;
  Cell merge(host::Handle current, host::Handle base, host::Handle incoming,
             host::Handle current_name, host::Handle incoming_name) const;

 private:
  struct Close {
    void operator()(engine::Session* session) const noexcept;
  };
  explicit Session(engine::Session* session) : session_(session) {}

  std::unique_ptr<engine::Session, Close> session_;
};

// A session being opened: its probe directory and git processes (see engine::Opening).
// Dropped unfinished, it kills and reaps the processes and removes the probe directory.
class Session::Opening {
 public:
  // Waits for git and decides: exactly what open() gives, or raises. Once only; afterwards
  // there is no session.
  std::optional<Session> finish();
  // See engine::Opening::release and engine::Opening::ahead.
  void release(bool go);
  std::optional<Session> ahead() const;

 private:
  friend class Session;
  struct Drop {
    void operator()(engine::Opening* opening) const noexcept;
  };
  explicit Opening(engine::Opening* opening) : opening_(opening) {}

  std::unique_ptr<engine::Opening, Drop> opening_;  // null: no session
};

}  // namespace entrance
}  // namespace vornik::sourcemerge
