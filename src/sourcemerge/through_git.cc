// The source merge through GitPython: the three sides written into a private temporary
// directory, `g.merge_file` run on them, and the current file read back; where git cannot merge,
// the three texts merged as wholes.
#include "sourcemerge/through_git.h"

#include <cstdint>
#include <string_view>

#include "host/function.h"
#include "sourcemerge/merged_lines.h"
#include "sourcemerge/temporary_directory.h"

namespace vornik::sourcemerge {
namespace {

using host::Handle;
using host::Ref;

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
  PyObject* status = PyObject_GetAttr(error, host::key<"status">());
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

// Runs `git_command.merge_file(...)` (`g` of `_merge_source`); git's command error is no error
// here, but tells conflicts from a failure.
GitOutcome run_merge_file(Handle globals, Handle git_command, Handle current, Handle base,
                          Handle incoming) {
  try {
    host::call(host::getattr(git_command, "merge_file"), current, base, incoming);
    return GitOutcome::kMerged;
  } catch (const host::ErrorAlreadySet&) {
    Ref error = fetch_error();
    Ref command_error;
    try {
      command_error =
          host::getattr(host::lookup_global(globals, host::key<"git">()), "GitCommandError");
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
  return host::check(PyUnicode_Join(host::key<"">(), lines));
}

// The text as UTF-8; raises UnicodeEncodeError for a lone surrogate.
std::string_view utf8(Handle text) {
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
  if (bytes == nullptr) host::throw_error_set();
  return {bytes, static_cast<size_t>(size)};
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
      label_given(current_name) ? current_path.new_ref() : Ref::borrow(host::key<"current">());
  Ref incoming_label =
      label_given(incoming_name) ? incoming_path.new_ref() : Ref::borrow(host::key<"incoming">());
  Ref pieces = host::check(PyList_New(0));
  for (PyObject* piece :
       {host::key<"<<<<<<< ">(), current_label.get(), host::key<"\n">(), current.get(),
        line_end_after(current), host::key<"=======\n">(), incoming.get(), line_end_after(incoming),
        host::key<">>>>>>> ">(), incoming_label.get(), host::key<"\n">()}) {
    host::check_status(PyList_Append(pieces.get(), piece));
  }
  return joined(pieces.get());
}

}  // namespace

Ref merge_through_git(Handle globals, PyObject* const* args) {
  PyObject* git_command = args[0];
  PyObject* current = args[1];
  PyObject* base = args[2];
  PyObject* incoming = args[3];
  PyObject* current_name = args[4];
  PyObject* incoming_name = args[5];

  TemporaryDirectory directory(globals);
  Ref current_text;
  Ref base_text;
  Ref incoming_text;
  SideFiles files(directory);
  current_text = joined(current);
  files.write(Side::kCurrent, utf8(current_text));
  base_text = joined(base);
  files.write(Side::kBase, utf8(base_text));
  incoming_text = joined(incoming);
  files.write(Side::kIncoming, utf8(incoming_text));
  files.close();

  const Ref& current_path = files.path(Side::kCurrent);
  const Ref& incoming_path = files.path(Side::kIncoming);
  if (run_merge_file(globals, git_command, current_path, files.path(Side::kBase), incoming_path) ==
      GitOutcome::kFailed) {
    Ref text = whole_text_merge(current_text, base_text, incoming_text, current_path, current_name,
                                incoming_path, incoming_name);
    return text_lines(text, current_path, current_name, incoming_path, incoming_name);
  }
  return merged_lines(read_bytes(current_path), current_path, current_name, incoming_path,
                      incoming_name);
}

}  // namespace vornik::sourcemerge
