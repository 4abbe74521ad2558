// Whole-file reads and writes on descriptors, random names for new files, and the removal of
// temporary files and directories. Nothing here touches host objects, so all of it may run with
// the host's lock released; failures come back as errno values for the caller to raise.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "host/ref.h"

namespace vornik::host {

// Writes all of `bytes` at the descriptor's offset, retrying interrupted writes. Returns 0 or
// the errno value of the failure; a write that makes no progress and gives no reason is EIO.
int write_all(int fd, std::string_view bytes) noexcept;

// The same at `offset` in the file; the descriptor's offset is left alone.
int write_all_at(int fd, std::string_view bytes, off_t offset) noexcept;

// Appends what the descriptor reads, from its offset to the end of the file, to `into`.
// `expected` is the number of bytes still expected (0: unknown), so that a file of that size is
// read without growing the buffer. Returns 0 or the errno value of the failed read, with what
// was read before it kept in `into`. An interrupted read is retried, unless
// `stop_when_interrupted`: then EINTR is returned, and the caller may handle the signal and call
// again to go on.
int read_all(int fd, std::string& into, std::size_t expected = 0,
             bool stop_when_interrupted = false);

// What a file opened in text mode reads: every "\r\n" and every lone "\r" as "\n".
std::string text_mode_newlines(std::string_view text);

// The characters of random names, as the host's own temporary files use them.
inline constexpr std::string_view kNameCharacters = "abcdefghijklmnopqrstuvwxyz0123456789_";

// `length` characters of kNameCharacters, each equally likely. Never blocks: before the
// kernel's random pool is ready, a mix of the time, the process and a counter stands in, since
// every name made here is created exclusively and another is drawn when it is taken.
std::string random_name(std::size_t length);

// Removes a temporary file, or a temporary directory with everything in it, when the object
// goes, unless it was kept. Removal is best effort: nothing it meets is reported.
class TemporaryPath {
 public:
  enum class Kind : std::uint8_t { kFile, kDirectory };

  TemporaryPath() = default;
  VORNIK_PINNED(TemporaryPath);
  ~TemporaryPath();

  void hold(std::string path, Kind kind) {
    path_ = std::move(path);
    kind_ = kind;
  }
  const std::string& path() const noexcept { return path_; }
  // Leaves the path in place (a file renamed into place, or removed by the caller).
  void keep() noexcept { path_.clear(); }

 private:
  std::string path_;
  Kind kind_ = Kind::kFile;
};

}  // namespace vornik::host
