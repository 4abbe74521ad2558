// The two ways diff_dicts works with its records. MemberRecords builds the module's records and
// goes through their members, looked up at call time as the host would look them up; it serves
// whenever a collaborator was replaced or changed. DirectRecords works on the cell and parameter
// mappings themselves and has, step for step, the effects the shipped members would have, at a
// fraction of the cost. The diff itself (notebook_diff.cc) is written once against either.
#pragma once

#include <utility>

#include "nbdelta/access.h"
#include "nbdelta/loaded.h"
#include "nbdelta/source_change.h"
#include "nbdelta/status.h"

namespace vornik::nbdelta {

class MemberRecords {
 public:
  using DiffCell = host::Ref;

  explicit MemberRecords(PyObject* globals) : globals_(globals) {}

  // `Cell(cell)`
  host::Ref index_record(host::Handle cell) const { return host::call(global("Cell"), cell); }
  // `DiffCell(record.data.copy())`
  host::Ref diff_cell(host::Handle record) const {
    host::Ref data = host::getattr(record, "data");
    host::Ref copy = host::call(host::getattr(data, "copy"));
    return host::call(global("DiffCell"), copy);
  }
  void set_cell_status(host::Handle diff_cell, Status status) const {
    host::Ref value = host::getattr(global("DiffCell"), constant_name(status));
    host::setattr(diff_cell, "status", value);
  }
  static host::Ref source(host::Handle record) { return host::getattr(record, "source"); }
  static void set_source(host::Handle diff_cell, host::Handle value) {
    host::setattr(diff_cell, "source", value);
  }
  static host::Ref parents(host::Handle record) { return host::getattr(record, "parents"); }
  static void set_parents(host::Handle diff_cell, host::Handle value) {
    host::setattr(diff_cell, "parents", value);
  }
  static void set_prev_source(host::Handle diff_cell, host::Handle value) {
    host::setattr(diff_cell, "prev_source", value);
  }
  static void set_added_parents(host::Handle diff_cell, host::Handle value) {
    host::setattr(diff_cell, "added_parents", value);
  }
  static void set_removed_parents(host::Handle diff_cell, host::Handle value) {
    host::setattr(diff_cell, "removed_parents", value);
  }
  bool modified(host::Handle diff_cell) const {
    host::Ref result = host::call(global("_cell_modified"), diff_cell);
    return host::is_true(result.get());
  }
  static host::Ref cell_data(host::Handle diff_cell) { return host::getattr(diff_cell, "data"); }

  // `DiffParameter(parameter)`
  host::Ref parameter(host::Handle parameter) const {
    return host::call(global("DiffParameter"), parameter);
  }
  void set_parameter_status(host::Handle record, Status status) const {
    host::Ref value = host::getattr(global("DiffParameter"), constant_name(status));
    host::setattr(record, "status", value);
  }
  static host::Ref parameter_value(host::Handle record) { return host::getattr(record, "value"); }
  static host::Ref parameter_type(host::Handle record) { return host::getattr(record, "type"); }
  static void set_prev_type(host::Handle record, host::Handle value) {
    host::setattr(record, "prev_type", value);
  }
  static void set_prev_value(host::Handle record, host::Handle value) {
    host::setattr(record, "prev_value", value);
  }
  static host::Ref parameter_data(host::Handle record) { return host::getattr(record, "data"); }

 private:
  host::Ref global(const char* name) const {
    return host::lookup_global(globals_, host::intern(name));
  }

  PyObject* globals_;
};

// Records here are the mappings: a cell record is the cell mapping that the shipped Cell would
// hold, a diff cell the copy that DiffCell would hold, a parameter record the parameter mapping.
class DirectRecords {
 public:
  // The copy is this call's own until it is returned, so its "metadata" entry stays the object
  // found when it was made; the canvas inside is the caller's and is looked up at every use.
  struct DiffCell {
    host::Ref copy;
    host::Ref metadata;
  };

  explicit DirectRecords(PyObject* globals) : globals_(globals) {}

  static host::Ref index_record(host::Handle cell) { return cell.new_ref(); }
  static DiffCell diff_cell(host::Handle record) {
    host::Ref copy = PyDict_CheckExact(record.get()) ? host::check(PyDict_Copy(record))
                                                     : host::call(host::getattr(record, "copy"));
    host::check_argument("cell", copy, host::TypeCheck::kDict);
    DiffCell cell{std::move(copy), {}};
    cell.metadata = get_item(cell.copy, host::key<"metadata">());
    set_cell_status(cell, Status::kUnchanged);
    return cell;
  }
  static void set_cell_status(const DiffCell& cell, Status status) {
    set_item(canvas(cell), host::key<"diff_status">(), constant(status));
  }
  static host::Ref source(host::Handle record) {
    if (PyDict_CheckExact(record.get())) {
      PyObject* value = PyDict_GetItemWithError(record, host::key<"source">());
      if (value == nullptr && PyErr_Occurred() != nullptr) host::throw_error_set();
      if (value == nullptr || value == Py_None) return new_list();
      if (!PyUnicode_Check(value)) return host::Ref::borrow(value);
    }
    // A source held as one text is split into lines by Cell itself; a mapping other than a
    // dict may run code of its own when read. Both are left to the member.
    host::Ref wrapper = host::call(loaded().cell, record);
    return host::getattr(wrapper, "source");
  }
  static host::Ref source(const DiffCell& cell) { return source(cell.copy); }
  static void set_source(const DiffCell& cell, host::Handle value) {
    set_item(cell.copy, host::key<"source">(), value);
  }
  static host::Ref parents(host::Handle record) { return parents_in(canvas_of(record)); }
  static host::Ref parents(const DiffCell& cell) { return parents_in(canvas(cell)); }
  static void set_parents(const DiffCell& cell, host::Handle value) {
    set_item(canvas(cell), host::key<"parents">(), value);
  }
  static void set_prev_source(const DiffCell& cell, host::Handle value) {
    set_list(cell, host::key<"prev_source">(), value);
  }
  static void set_added_parents(const DiffCell& cell, host::Handle value) {
    set_list(cell, host::key<"added_parents">(), value);
  }
  static void set_removed_parents(const DiffCell& cell, host::Handle value) {
    set_list(cell, host::key<"removed_parents">(), value);
  }
  bool modified(const DiffCell& cell) const {
    host::Ref previous = get_or(canvas(cell), host::key<"prev_source">(), new_list);
    host::check_result(previous, host::TypeCheck::kList);
    host::Ref current = source(cell);
    return lines_differ(globals_, previous, current);
  }
  static host::Ref cell_data(const DiffCell& cell) { return cell.copy.clone(); }

  static host::Ref parameter(host::Handle parameter) {
    host::check_argument("data", parameter, host::TypeCheck::kDict);
    set_parameter_status(parameter, Status::kUnchanged);
    return parameter.new_ref();
  }
  static void set_parameter_status(host::Handle record, Status status) {
    host::check_status(PyDict_SetItem(record, host::key<"diff_status">(), constant(status)));
  }
  static host::Ref parameter_value(host::Handle record) {
    return text_field(record, host::key<"value">());
  }
  static host::Ref parameter_type(host::Handle record) {
    return text_field(record, host::key<"type">());
  }
  static void set_prev_type(host::Handle record, host::Handle value) {
    host::check_argument("value", value, host::TypeCheck::kStr);
    host::check_status(PyDict_SetItem(record, host::key<"prev_type">(), value));
  }
  static void set_prev_value(host::Handle record, host::Handle value) {
    host::check_argument("value", value, host::TypeCheck::kStr);
    host::check_status(PyDict_SetItem(record, host::key<"prev_value">(), value));
  }
  static host::Ref parameter_data(host::Handle record) { return record.new_ref(); }

 private:
  static PyObject* constant(Status status) { return status_value(status); }
  static host::Ref canvas(const DiffCell& cell) {
    return get_item(cell.metadata, host::key<"canvas">());
  }
  // What Cell.parents gives: the stored list, or a fresh one for none.
  static host::Ref parents_in(host::Handle canvas) {
    host::Ref value = get_or_none(canvas, host::key<"parents">());
    return value.get() == Py_None ? new_list() : std::move(value);
  }
  static void set_list(const DiffCell& cell, PyObject* key, host::Handle value) {
    host::check_argument("value", value, host::TypeCheck::kList);
    set_item(canvas(cell), key, value);
  }
  static host::Ref text_field(host::Handle record, PyObject* key) {
    host::Ref value = get_item(record, key);
    host::check_result(value, host::TypeCheck::kStr);
    return value;
  }

  PyObject* globals_;
};

}  // namespace vornik::nbdelta
