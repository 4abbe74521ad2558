#include "sourcemerge/merged_lines.h"

#include "host/text.h"

namespace vornik::sourcemerge {
namespace {

using host::Handle;
using host::Ref;

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

bool label_given(Handle name) {
  return name.get() != Py_None && PyUnicode_GET_LENGTH(name) > 0;
}

Ref merged_lines(std::string_view bytes, Handle current_path, Handle current_name,
                 Handle incoming_path, Handle incoming_name) {
  Ref text = host::check(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
  return text_lines(text, current_path, current_name, incoming_path, incoming_name);
}

Ref text_lines(Handle text, Handle current_path, Handle current_name, Handle incoming_path,
               Handle incoming_name) {
  Ref lines = host::split_lines(text);
  PyObject* unchanged = text.get();
  // A replacement may make an occurrence of the incoming path: the text no longer tells.
  if (label_given(current_name) && replace_in_lines(lines, unchanged, current_path, current_name)) {
    unchanged = nullptr;
  }
  if (label_given(incoming_name)) replace_in_lines(lines, unchanged, incoming_path, incoming_name);
  return lines;
}

}  // namespace vornik::sourcemerge
