// The in-process source merge: the three-way line merge of the system's libgit2, used in place
// of a `git merge-file` process per cell wherever its lines are the very ones the process would
// give. Everything here says "not for this one" rather than risk a different result; the
// caller then merges through `_merge_source` as before. Other modules reach it through the
// entrance (sourcemerge/entrance.h).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/ref.h"
#include "sourcemerge/entrance.h"
#include "sourcemerge/probe.h"

namespace vornik::sourcemerge::engine {

using sourcemerge::Releases;
using sourcemerge::Style;

const char* style_name(Style style);

// The version of the libgit2 loaded at run time; none in a build without it.
std::optional<std::array<int, 3>> library_version();

// Whether the build has the library and the one loaded is a version whose merges are known to
// match git's; initialises the library on first use.
bool usable();

class Opening;

// What one merge of a notebook needs, resolved once at its first source merge.
class Session {
 public:
  // The session, or none when every cell of this merge must go through `_merge_source`: the
  // library is unusable, `executable` (GitPython's git program) cannot be found or is not a
  // release `releases` admits, or the style that `git merge-file` would use here cannot be
  // told. The style is learnt from `git merge-file` itself, run once in a temporary directory
  // made the way `_merge_source` makes it: config levels, `git -c` values and whether the
  // working directory is inside a repository all count exactly as they would for each cell.
  // `globals` is where `tempfile` and `os` are looked up. Raises only what must not be
  // swallowed (see drop_ordinary_error).
  static std::optional<Session> open(host::Handle globals, host::Handle executable,
                                     Releases releases = Releases::kProven);

  // `open` in two steps, so that the caller may go on while git runs: start() does all that
  // open() does up to starting git, and Opening::finish() the rest. Between the two no host
  // object is touched on the session's behalf. `held`: git waits for Opening::release.
  static Opening start(host::Handle globals, host::Handle executable,
                       Releases releases = Releases::kProven, bool held = false);

  Style style() const { return style_; }

  using Cell = MergedCell;

  // The merged lines of one cell, as `_merge_source` would return them with these arguments,
  // except for the random part of the temporary directory's name, which differs between any
  // two calls of either. None when the cell must go through `_merge_source`: an argument of a
  // type `_merge_source` refuses, lines that do not encode as UTF-8, a side git refuses (a NUL
  // byte in its first 8,000 bytes, or too large), or a failure of the library.
  Cell merge(host::Handle current, host::Handle base, host::Handle incoming,
             host::Handle current_name, host::Handle incoming_name) const;

 private:
  friend class Opening;
  Session(Style style, std::string prefix, std::unique_ptr<ProbeRun> probe)
      : style_(style), prefix_(std::move(prefix)), probe_(std::move(probe)) {}

  Style style_;
  // The temporary directory's path up to its random part, as UTF-8 (which is also how the
  // file system spells it: checked when the session opens).
  std::string prefix_;
  // The probe, whose directory may still be being removed: waited for when the session goes.
  std::unique_ptr<ProbeRun> probe_;
};

// A session being opened: its probe directory and the git processes started in it.
class Opening {
 public:
  Opening();
  Opening(const Opening&) = delete;
  Opening& operator=(const Opening&) = delete;
  Opening(Opening&& other) noexcept;
  Opening& operator=(Opening&& other) noexcept;
  // Unfinished: kills and reaps the processes and removes the probe directory.
  ~Opening();

  // Waits for git (the host's lock released, signals handled) and decides: exactly what
  // Session::open gives, or raises. Once only; afterwards there is no session.
  std::optional<Session> finish();

  // For an opening started held: `go`, git starts now; otherwise it never does, and the
  // probe's directory is removed meanwhile (there is no session then).
  void release(bool go);

  // While git runs: the session as it will be if it opens, in the plain conflict style. Its
  // merges that come out clean are the ones the session will give, whatever the style; none
  // when there is no session to come.
  std::optional<Session> ahead() const;

 private:
  friend class Session;
  struct Probe;
  std::unique_ptr<Probe> probe_;  // null: no session
};

}  // namespace vornik::sourcemerge::engine
