// Reading and writing notebook documents: the JSON text form of the host's json module, in
// native code.
#pragma once

#include <string_view>

#include "host/ref.h"

namespace vornik::json {

// Parses UTF-8 JSON text into host objects with the semantics of json.loads on the decoded
// text: insertion-ordered dicts (a repeated key keeps its first place and its last value),
// NaN/Infinity/-Infinity, ints of any size, correctly rounded floats, lone surrogate escapes
// kept. Invalid UTF-8 raises UnicodeDecodeError; invalid JSON raises json.JSONDecodeError with
// json's message and position. With `text_mode`, positions are those of the text as a file
// opened in text mode reads it (universal newlines), as json.load sees it.
host::Ref parse(std::string_view text, bool text_mode);

// Reads the document at `path` (str, bytes or os.PathLike) as json.load does on the file
// opened as UTF-8 text; the host's OSError subclass when it cannot be opened or read.
host::Ref read_file(host::Handle path);

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

// Writes `value` in the editor form as UTF-8 with a final newline, put in place by
// replace_file. Text holding a lone surrogate raises the host's UnicodeEncodeError.
void write_editor_file(host::Handle path, host::Handle value);

}  // namespace vornik::json
