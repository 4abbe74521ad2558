// The merge's records as the cell objects themselves, with the effects the original MergeCell
// and Cell members and `_cell_changed` have (Cell keeps the very object it is given, and reads
// and writes the canvas at "metadata"/"canvas"). Records are always exact dicts: make() refuses
// anything else, as MergeCell does.
#include "host/function.h"
#include "host/items.h"
#include "host/text.h"
#include "nbweave/collaborators.h"
#include "nbweave/debug_log.h"
#include "nbweave/records.h"

namespace vornik::nbweave {
namespace {

using host::Handle;
using host::Ref;

// `cell._canvas`: `data["metadata"]["canvas"]`.
Ref canvas_of(Handle record) {
  Ref metadata = host::get_item(record, host::key<"metadata">());
  return host::get_item(metadata, host::key<"canvas">());
}

// `canvas.get(key)`; None when absent.
Ref get_or_none(Handle mapping, PyObject* key) {
  if (!PyDict_CheckExact(mapping.get())) return host::call(host::getattr(mapping, "get"), key);
  PyObject* value = PyDict_GetItemWithError(mapping, key);
  if (value == nullptr && PyErr_Occurred() != nullptr) host::throw_error_set();
  return Ref::borrow(value == nullptr ? Py_None : value);
}

// `canvas.get(key)`, a fresh empty list for None.
Ref list_or_fresh(Handle mapping, PyObject* key) {
  Ref value = get_or_none(mapping, key);
  return value.get() == Py_None ? host::check(PyList_New(0)) : std::move(value);
}

}  // namespace

Ref DirectRecords::make(Handle data, Version /*version*/, bool /*by_keyword*/) {
  host::check_argument("cell", data, host::TypeCheck::kDict);
  return data.new_ref();
}

Ref DirectRecords::name(Handle record) {
  Ref name = get_or_none(canvas_of(record), host::key<"name">());
  return name.get() == Py_None ? Ref::borrow(host::key<"">()) : std::move(name);
}

void DirectRecords::set_name(Handle record, Handle name) {
  host::set_item(canvas_of(record), host::key<"name">(), name);
}

Ref DirectRecords::source(Handle record) {
  Ref source = get_or_none(record, host::key<"source">());
  if (source.get() == Py_None) return host::check(PyList_New(0));
  if (PyUnicode_Check(source.get())) return host::split_lines(source);
  return source;
}

void DirectRecords::set_source(Handle record, Handle lines) {
  host::set_item(record, host::key<"source">(), lines);
}

Ref DirectRecords::parents(Handle record) {
  return list_or_fresh(canvas_of(record), host::key<"parents">());
}

void DirectRecords::set_parents(Handle record, Handle parents) {
  host::set_item(canvas_of(record), host::key<"parents">(), parents);
}

Ref DirectRecords::comments(Handle record) {
  return list_or_fresh(canvas_of(record), host::key<"comments">());
}

void DirectRecords::add_comment(Handle record, Handle comment) {
  Ref canvas = canvas_of(record);
  if (get_or_none(canvas, host::key<"comments">()).get() == Py_None) {
    Ref fresh = host::check(PyList_New(0));
    host::set_item(canvas, host::key<"comments">(), fresh);
  }
  Ref comments = host::get_item(canvas, host::key<"comments">());
  if (PyList_CheckExact(comments.get())) {
    host::check_status(PyList_Append(comments.get(), comment));
  } else {
    host::call(host::getattr(comments, "append"), comment);
  }
}

void DirectRecords::mark(Handle record, Version version) {
  Ref name = DirectRecords::name(record);
  if (!host::is_true(name.get()) || version == Version::kBase) return;
  Ref marked =
      marked_name(name, version == Version::kCurrent ? host::key<"<<< ">() : host::key<">>> ">());
  if (marked) set_name(record, marked);
}

bool DirectRecords::changes_invisibly() const {
  return others_original_ && debug_is_silent();
}

Ref DirectRecords::changed(Handle record0, Handle record1) const {
  {
    Ref parents0 = parents(record0);
    Ref parents1 = parents(record1);
    drop_parent_names(parents0, parents1);
  }
  if (!others_original_) return logged_difference(function_, record0, record1);
  const Loaded& kept = loaded();
  Ref difference = cell_difference(record0, record1, kept.delete_marker, kept.replace_marker);
  write_debug(kept.logging_debug, difference);
  return difference;
}

void DirectRecords::identify(Handle record) const {
  for (PyObject* key : {host::key<"link_id">(), host::key<"id">()}) {
    Ref text;
    if (others_original_) {
      Ref fresh = host::call(loaded().uuid4);
      text = host::check(PyObject_Str(fresh.get()));
    } else {
      text = current::uuid_text(function_);
    }
    host::set_item(canvas_of(record), key, text);
  }
}

Ref DirectRecords::link_id(Handle record) {
  return get_or_none(canvas_of(record), host::key<"link_id">());
}

Ref DirectRecords::git_class() const {
  return others_original_ ? loaded().git_class.clone() : current::git_class(function_);
}

Ref DirectRecords::merge_source() const {
  return others_original_ ? loaded().merge_source.clone() : current::merge_source(function_);
}

bool DirectRecords::command_error_original() const {
  return others_original_ || current::command_error_original(function_);
}

}  // namespace vornik::nbweave
