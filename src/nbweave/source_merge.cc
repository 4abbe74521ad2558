// `_merge_source`: the three-way merge of one cell's source lines by `git merge-file`, run on
// three files of a private temporary directory.
#include "nbweave/source_merge.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "host/files.h"
#include "host/function.h"
#include "host/system.h"
#include "nbweave/nbweave.h"

namespace vornik::nbweave {
namespace {

using host::FileDescriptor;
using host::Function;
using host::Handle;
using host::Ref;
using host::TypeCheck;

// Attempts at a directory name nobody else holds, as the host's own temporary files make.
constexpr int kMaxAttempts = 10000;

PyObject* g_merge_source_function = nullptr;

Ref global(Handle globals, const char* name) {
  return host::lookup_global(globals, host::intern(name));
}

bool non_empty(Handle name) {
  return name.get() != Py_None && PyUnicode_GET_LENGTH(name) > 0;
}

// A label as text that UTF-8 can hold, so that the notebook it goes into can be written and
// merged again. A name made from a file path that is not UTF-8 (the host keeps such bytes as
// lone surrogates) shows those bytes as "\xNN", as the host prints such names; any other lone
// surrogate shows as "\uXXXX".
Ref printable_label(Handle name) {
  if (PyUnicode_AsUTF8AndSize(name, nullptr) != nullptr) return name.new_ref();
  if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) == 0) host::throw_error_set();
  PyErr_Clear();
  PyObject* encoded = PyUnicode_AsEncodedString(name, "utf-8", "surrogateescape");
  if (encoded == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) == 0) host::throw_error_set();
    PyErr_Clear();
    encoded = PyUnicode_AsEncodedString(name, "utf-8", "backslashreplace");
  }
  Ref bytes = host::check(encoded);
  return host::check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                          PyBytes_GET_SIZE(bytes.get()), "backslashreplace"));
}

// Replaces every occurrence of `path` by `name` in each line; false when there was none.
// `text` is the lines joined, or null when it may not be: a line holds an occurrence only where
// the whole text does, so a text without one is passed over at the cost of one search.
bool replace_in_lines(Handle lines, PyObject* text, Handle path, Handle name) {
  if (text != nullptr) {
    const Py_ssize_t found = PyUnicode_Find(text, path, 0, PyUnicode_GET_LENGTH(text), 1);
    if (found == -2) host::throw_error_set();
    if (found == -1) return false;
  }
  Ref label = printable_label(name);
  const Py_ssize_t count = PyList_GET_SIZE(lines.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* line = PyList_GET_ITEM(lines.get(), i);
    Ref replaced = host::check(PyUnicode_Replace(line, path, label.get(), -1));
    PyList_SetItem(lines.get(), i, replaced.release());
  }
  return true;
}

}  // namespace

TemporaryDirectory::TemporaryDirectory(Handle globals) {
  Ref parent = host::call(host::getattr(global(globals, "tempfile"), "gettempdir"));
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    std::string name = "tmp" + host::random_name(kRandomNameLength);
    Ref candidate = host::check(PyUnicode_FromFormat("%U/%s", parent.get(), name.c_str()));
    if (PyUnicode_READ_CHAR(candidate.get(), 0) != '/') {
      Ref os_path = host::getattr(global(globals, "os"), "path");
      candidate = host::call(host::getattr(os_path, "abspath"), candidate);
    }
    host::FsPath path(candidate);
    if (::mkdir(path.c_str(), 0700) == 0) {
      path_ = std::move(candidate);
      directory_.hold(std::string(path.bytes()), host::TemporaryPath::Kind::kDirectory);
      return;
    }
    if (errno != EEXIST) host::raise_os_error(errno, candidate);
  }
  host::raise_os_error(EEXIST, parent);
}

TemporaryDirectory::~TemporaryDirectory() {
  // The three files are all a merge leaves, so that the directory is then empty; anything else
  // git may have left goes with the directory.
  if (directory_.path().empty()) return;
  for (const char* name : {"current", "base", "incoming"}) {
    ::unlink((directory_.path() + '/' + name).c_str());
  }
}

Ref TemporaryDirectory::join(const char* name) const {
  return host::check(PyUnicode_FromFormat("%U/%s", path_.get(), name));
}

FileDescriptor open_for_writing(Handle path) {
  host::FsPath encoded(path);
  int fd = ::open(encoded.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) host::raise_os_error(errno, path);
  return FileDescriptor(fd);
}

void write_all(const FileDescriptor& file, std::string_view bytes) {
  if (int error = host::write_all(file.get(), bytes); error != 0) {
    host::raise_os_error(error, Py_None);
  }
}

void close_checked(FileDescriptor& file) {
  if (int error = file.close(); error != 0) host::raise_os_error(error, Py_None);
}

std::string read_bytes(Handle path) {
  host::FsPath encoded(path);
  FileDescriptor file(::open(encoded.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) host::raise_os_error(errno, path);
  std::string bytes;
  if (int error = host::read_all(file.get(), bytes); error != 0) {
    host::raise_os_error(error, Py_None);
  }
  return bytes;
}

Ref merged_lines(std::string_view bytes, Handle current_path, Handle current_name,
                 Handle incoming_path, Handle incoming_name) {
  Ref text = host::check(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
  return text_lines(text, current_path, current_name, incoming_path, incoming_name);
}

Ref text_lines(Handle text, Handle current_path, Handle current_name, Handle incoming_path,
               Handle incoming_name) {
  Ref lines = host::check(PyList_New(0));
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
  Py_ssize_t start = 0;
  while (start < length) {
    Py_ssize_t end = PyUnicode_FindChar(text.get(), '\n', start, length, 1);
    if (end == -2) host::throw_error_set();
    end = end < 0 ? length : end + 1;
    Ref line = host::check(PyUnicode_Substring(text.get(), start, end));
    host::check_status(PyList_Append(lines.get(), line.get()));
    start = end;
  }
  PyObject* unchanged = text.get();
  // A replacement may make an occurrence of the incoming path: the text no longer tells.
  if (non_empty(current_name) && replace_in_lines(lines, unchanged, current_path, current_name)) {
    unchanged = nullptr;
  }
  if (non_empty(incoming_name)) replace_in_lines(lines, unchanged, incoming_path, incoming_name);
  return lines;
}

PyObject* merge_source_function() {
  return g_merge_source_function;
}

void set_merge_source_function(PyObject* function) {
  // Held for the life of the process: an object made later at the same address is not it.
  Py_XINCREF(function);
  g_merge_source_function = function;
}

namespace {

// Takes the error that is set, normalised, with its traceback attached.
Ref fetch_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
}

// Whether git's exit status, as the command error carries it, counts conflicts: 1 to 127.
// Anything else (255 for text git takes for binary, a negative status for a git killed by a
// signal, no int at all) means that git could not merge.
bool reports_conflicts(Handle error) {
  PyObject* status = PyObject_GetAttr(error, host::intern("status"));
  if (status == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) host::throw_error_set();
    PyErr_Clear();
    return false;
  }
  Ref held = Ref::steal(status);
  if (!PyLong_Check(status)) return false;
  int overflow = 0;
  long value = PyLong_AsLongAndOverflow(status, &overflow);
  if (value == -1 && PyErr_Occurred() != nullptr) host::throw_error_set();
  return overflow == 0 && value >= 1 && value <= 127;
}

enum class GitOutcome : uint8_t { kMerged, kConflicts, kFailed };

// Runs `g.merge_file(...)`; git's command error is no error here, but tells conflicts from a
// failure.
GitOutcome run_merge_file(Function& function, Handle g, Handle current, Handle base,
                          Handle incoming) {
  try {
    host::call(host::getattr(g, "merge_file"), current, base, incoming);
    return GitOutcome::kMerged;
  } catch (const host::ErrorAlreadySet&) {
    Ref error = fetch_error();
    Ref command_error;
    try {
      command_error = host::getattr(function.global("git"), "GitCommandError");
    } catch (const host::ErrorAlreadySet&) {
      // Like an `except` clause whose expression fails: that failure, the first as its context.
      Ref failure = fetch_error();
      PyException_SetContext(failure.get(), error.release());
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(failure.get())), failure.get());
      throw;
    }
    if (host::check_status(PyObject_IsInstance(error.get(), command_error.get())) != 0) {
      return reports_conflicts(error) ? GitOutcome::kConflicts : GitOutcome::kFailed;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw;
  }
}

// The lines joined.
Ref joined(PyObject* lines) {
  return host::check(PyUnicode_Join(host::intern(""), lines));
}

void write_text(const FileDescriptor& file, Handle text) {
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
  if (bytes == nullptr) host::throw_error_set();
  write_all(file, {bytes, static_cast<size_t>(size)});
}

bool same_text(Handle a, Handle b) {
  int equal = PyUnicode_Compare(a, b);
  if (equal == -1 && PyErr_Occurred() != nullptr) host::throw_error_set();
  return equal == 0;
}

// Where git could not merge, the three texts merged as wholes: a side that alone changed wins;
// otherwise one conflict block holds both sides in full, each ending in a line end. The
// opening and closing labels are the temporary paths where a name replaces them, as in git's
// own blocks, so that the names go in exactly as they go into those.
Ref whole_text_merge(Handle current, Handle base, Handle incoming, Handle current_path,
                     Handle current_name, Handle incoming_path, Handle incoming_name) {
  if (same_text(current, incoming) || same_text(incoming, base)) return current.new_ref();
  if (same_text(current, base)) return incoming.new_ref();
  auto line_end_after = [](Handle side) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(side.get());
    bool ends = length == 0 || PyUnicode_READ_CHAR(side.get(), length - 1) == '\n';
    return host::intern(ends ? "" : "\n");
  };
  Ref current_label =
      non_empty(current_name) ? current_path.new_ref() : Ref::borrow(host::intern("current"));
  Ref incoming_label =
      non_empty(incoming_name) ? incoming_path.new_ref() : Ref::borrow(host::intern("incoming"));
  Ref pieces = host::check(PyList_New(0));
  for (PyObject* piece : {host::intern("<<<<<<< "), current_label.get(), host::intern("\n"),
                          current.get(), line_end_after(current), host::intern("=======\n"),
                          incoming.get(), line_end_after(incoming), host::intern(">>>>>>> "),
                          incoming_label.get(), host::intern("\n")}) {
    host::check_status(PyList_Append(pieces.get(), piece));
  }
  return joined(pieces.get());
}

Ref merge_source(Function& function, PyObject* const* args) {
  PyObject* g = args[0];
  PyObject* current = args[1];
  PyObject* base = args[2];
  PyObject* incoming = args[3];
  PyObject* current_name = args[4];
  PyObject* incoming_name = args[5];

  TemporaryDirectory tempdir(function.globals());
  Ref current_path = tempdir.join("current");
  Ref base_path = tempdir.join("base");
  Ref incoming_path = tempdir.join("incoming");
  Ref current_text;
  Ref base_text;
  Ref incoming_text;
  {
    FileDescriptor current_file = open_for_writing(current_path);
    FileDescriptor base_file = open_for_writing(base_path);
    FileDescriptor incoming_file = open_for_writing(incoming_path);
    current_text = joined(current);
    write_text(current_file, current_text);
    base_text = joined(base);
    write_text(base_file, base_text);
    incoming_text = joined(incoming);
    write_text(incoming_file, incoming_text);
    close_checked(incoming_file);
    close_checked(base_file);
    close_checked(current_file);
  }

  if (run_merge_file(function, g, current_path, base_path, incoming_path) == GitOutcome::kFailed) {
    Ref text = whole_text_merge(current_text, base_text, incoming_text, current_path, current_name,
                                incoming_path, incoming_name);
    return text_lines(text, current_path, current_name, incoming_path, incoming_name);
  }
  return merged_lines(read_bytes(current_path), current_path, current_name, incoming_path,
                      incoming_name);
}

}  // namespace

const host::FunctionSpec kMergeSourceSpec{
    .name = "_merge_source",
    .qualname = "_merge_source",
    .parameters = {{"g", "git.cmd.Git"},
                   {"current", "List[str]", TypeCheck::kList},
                   {"base", "List[str]", TypeCheck::kList},
                   {"incoming", "List[str]", TypeCheck::kList},
                   {"current_name", "Optional[str]", TypeCheck::kOptionalStr},
                   {"incoming_name", "Optional[str]", TypeCheck::kOptionalStr}},
    .return_annotation = "List[str]",
    .working_names = {"tempdir", "current_path", "base_path", "incoming_path", "current_file",
                      "base_file", "incoming_file", "fp", "lines", "line"},
    .body = merge_source,
};

}  // namespace vornik::nbweave
