// The private temporary directory a source merge by `git merge-file` works in (git prints its
// paths as conflict labels), the three files written there, and the merged file read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/files.h"
#include "host/ref.h"
#include "host/system.h"

namespace vornik::sourcemerge {

// The length of the random part of a temporary directory's name, as the host's own temporary
// files make them: "tmp" followed by 8 random name characters.
inline constexpr std::size_t kRandomNameLength = 8;

// A path for a new temporary directory, absolute: in the directory the host's `tempfile` module
// chooses, "tmp" and kRandomNameLength random name characters. `globals` as below.
host::Ref temporary_directory_candidate(host::Handle globals);

// A new, empty, uniquely named directory only the user can enter, in the directory the host's
// `tempfile` module chooses (TMPDIR and its fallbacks, or `tempfile.tempdir`); removed with
// everything in it when the object goes, on every path out. `globals` is the namespace in which
// `tempfile` and `os` are looked up when needed, so that patching them there reaches it.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(host::Handle globals);
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  TemporaryDirectory(TemporaryDirectory&&) = delete;
  TemporaryDirectory& operator=(TemporaryDirectory&&) = delete;
  ~TemporaryDirectory();

  // The directory's absolute path.
  PyObject* path() const { return path_.get(); }
  // `os.path.join(directory, name)`.
  host::Ref join(const char* name) const;

 private:
  host::Ref path_;
  host::TemporaryPath directory_;
};

// The sides of a merge, in the order `git merge-file` takes their files.
enum class Side : std::uint8_t { kCurrent, kBase, kIncoming };

// The files "current", "base" and "incoming" of a temporary directory, opened for writing
// together (in that order), created or truncated.
class SideFiles {
 public:
  explicit SideFiles(const TemporaryDirectory& directory);
  SideFiles(const SideFiles&) = delete;
  SideFiles& operator=(const SideFiles&) = delete;
  SideFiles(SideFiles&&) = delete;
  SideFiles& operator=(SideFiles&&) = delete;
  ~SideFiles() = default;

  // The file's absolute path; it stays valid after close().
  const host::Ref& path(Side side) const { return paths_[index(side)]; }
  // Writes all of `bytes` into the side's file; raises OSError.
  void write(Side side, std::string_view bytes);
  // Closes the three, incoming first, then base, then current; raises OSError.
  void close();

 private:
  static std::size_t index(Side side) { return static_cast<std::size_t>(side); }

  host::Ref paths_[3];
  host::FileDescriptor files_[3];
};

// The whole file, as bytes.
std::string read_bytes(host::Handle path);

}  // namespace vornik::sourcemerge
