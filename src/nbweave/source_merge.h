// What the two ways of merging a cell's source share: the temporary directory a merge by
// `git merge-file` works in (whose paths git prints as conflict labels), the files written
// there, and the reading of a merged text back into lines.
#pragma once

#include <string>
#include <string_view>

#include "host/files.h"
#include "host/ref.h"
#include "host/system.h"

namespace vornik::nbweave {

// The length of the random part of a temporary directory's name, as the host's own temporary
// files make them: "tmp" followed by 8 random name characters.
inline constexpr std::size_t kRandomNameLength = 8;

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

host::FileDescriptor open_for_writing(host::Handle path);
// Writes all of `bytes`; raises OSError on failure.
void write_all(const host::FileDescriptor& file, std::string_view bytes);
void close_checked(host::FileDescriptor& file);
// The whole file, as bytes.
std::string read_bytes(host::Handle path);

// The lines of a merged text as git wrote it (UTF-8, line ends untouched: "\r\n" stays, a lone
// "\r" stays inside its line), each ending after its "\n", the last one without one when the
// text does not end in "\n"; in every line `current_path` is then replaced by `current_name`,
// and after that `incoming_path` by `incoming_name`, where the name is neither None nor empty.
host::Ref merged_lines(std::string_view bytes, host::Handle current_path, host::Handle current_name,
                       host::Handle incoming_path, host::Handle incoming_name);

// The same for a text that is already a host str.
host::Ref text_lines(host::Handle text, host::Handle current_path, host::Handle current_name,
                     host::Handle incoming_path, host::Handle incoming_name);

}  // namespace vornik::nbweave
