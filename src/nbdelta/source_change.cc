#include "nbdelta/source_change.h"

#include <optional>

#include "host/function.h"
#include "nbdelta/access.h"

namespace vornik::nbdelta {
namespace {

bool all_exact_text(PyObject* list) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    if (!PyUnicode_CheckExact(PyList_GET_ITEM(list, i))) return false;
  }
  return true;
}

// The unified diff of two lists of plain str lines is empty exactly when the lists are equal
// element by element. Anything else (other sequences, other elements, which the diff may refuse
// or compare with their own equality, or print) is left to the host's diff.
std::optional<bool> text_lines_differ(host::Handle previous, host::Handle current) {
  if (!PyList_CheckExact(previous.get()) || !PyList_CheckExact(current.get())) return {};
  if (!all_exact_text(previous) || !all_exact_text(current)) return {};
  const Py_ssize_t size = PyList_GET_SIZE(previous.get());
  if (size != PyList_GET_SIZE(current.get())) return true;
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!same_text(PyList_GET_ITEM(previous.get(), i), PyList_GET_ITEM(current.get(), i))) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool lines_differ(PyObject* globals, host::Handle previous, host::Handle current) {
  if (std::optional<bool> differ = text_lines_differ(previous, current)) return *differ;
  host::Ref difflib = host::lookup_global(globals, host::key<"difflib">());
  host::Ref unified_diff = host::getattr(difflib, "unified_diff");
  host::Ref diff = host::call(unified_diff, previous, current);
  host::Ref diff_lines = host::check(PySequence_List(diff.get()));
  return PyList_GET_SIZE(diff_lines.get()) > 0;
}

}  // namespace vornik::nbdelta
