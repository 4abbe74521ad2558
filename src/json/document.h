// Reading and writing notebook documents: the JSON text form of the host's json module, in
// native code.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "host/ref.h"

namespace vornik::json {

// Parses UTF-8 JSON text into host objects with the semantics of json.loads on the decoded
// text: insertion-ordered dicts (a repeated key keeps its first place and its last value),
// NaN/Infinity/-Infinity, ints of any size, correctly rounded floats, lone surrogate escapes
// kept. Invalid UTF-8 raises UnicodeDecodeError; invalid JSON raises json.JSONDecodeError with
// json's message and position. With `text_mode`, positions are those of the text as a file
// opened in text mode reads it (universal newlines), as json.load sees it.
host::Ref parse(std::string_view text, bool text_mode);

// The bytes of a regular file, read on a thread of its own while the caller goes on: for a
// document the caller reads later with read_file. Anything that is not plainly a regular file
// read whole (a path that does not convert, a missing file, a pipe, a read error) is left to
// that read, which then meets it and raises as it would have.
class FilePrefetch {
 public:
  explicit FilePrefetch(host::Handle path);
  VORNIK_PINNED(FilePrefetch);
  ~FilePrefetch();

  // Waits for the read; true with `text` the file's bytes, or false.
  bool take(std::string& text);

 private:
  std::string path_;
  std::string text_;
  bool read_ = false;
  std::thread reader_;
};

// Reads the document at `path` (str, bytes or os.PathLike) as json.load does on the file
// opened as UTF-8 text; the host's OSError subclass when it cannot be opened or read. With
// `prefetch` (made for the same path), its bytes stand in for a read when it has them.
host::Ref read_file(host::Handle path, FilePrefetch* prefetch = nullptr);

// json.dumps(value) as a host str: byte for byte what it returns, including its errors
// (TypeError for what it cannot serialise, ValueError "Circular reference detected",
// RecursionError for nesting beyond the recursion limit).
host::Ref dumps(host::Handle value);

// The editor form: json.dumps(value, indent=1, sort_keys=True, ensure_ascii=False) as a host
// str, errors included (key sorting, key conversion, circular references, recursion).
host::Ref dumps_editor(host::Handle value);

// Replaces the file at `path` with `content` so that a reader sees the old or the new content,
// never a mixture: a temporary file in the same directory, synced, renamed over the target,
// permission bits kept, a symbolic link resolved to its target. Where the directory refuses a
// new file but the file itself is writable, the content is written in place instead.
// Failures raise the host's OSError subclass and leave the file unchanged.
void replace_file(host::Handle path, std::string_view content);

// Writes `value` as a document file: serialised whole in memory first, then put in place by
// replace_file, so that a failure at any point leaves the file as it was.
void write_file(host::Handle path, host::Handle value);

// write_file in two steps, so that the caller may go on while the file system works: the text
// is made at once, and the file replaced on a thread of its own. finish() waits for it and
// raises what write_file would have raised; dropped unfinished, it still waits.
//
// `held`: the new content is written and synced beside the file, but put in place only once
// the caller commit()s; abandon(), or dropping it undecided, leaves the file as it was.
class FileWrite {
 public:
  FileWrite(host::Handle path, host::Handle value, bool held = false);
  VORNIK_PINNED(FileWrite);
  ~FileWrite();

  void commit();
  void abandon();
  void finish();

 private:
  enum class Decision : unsigned char { kPending, kCommit, kAbandon };
  void decide(Decision decision);
  Decision decided();

  host::Ref name_;  // the path as open() names it in an error
  host::Ref text_;
  std::mutex lock_;
  std::condition_variable changed_;
  Decision decision_ = Decision::kCommit;
  std::thread writer_;
  std::function<void()> unstarted_;  // the write, where no thread could be made for it
  int error_ = 0;
};

// Writes `value` in the editor form as UTF-8 with a final newline, put in place by
// replace_file. Text holding a lone surrogate raises the host's UnicodeEncodeError.
void write_editor_file(host::Handle path, host::Handle value);

}  // namespace vornik::json
