// diff_dicts: the diff graph of two notebook versions. Cells are matched by their canvas id and
// parameters by their name; every pass visits them in document order, so the result is the same
// on every run.
#include <utility>
#include <vector>

#include "host/collector.h"
#include "nbdelta/access.h"
#include "nbdelta/definitions.h"
#include "nbdelta/originals.h"
#include "nbdelta/parent_links.h"
#include "nbdelta/records.h"

namespace vornik::nbdelta {
namespace {

using host::Function;
using host::FunctionSpec;
using host::Handle;
using host::Ref;
using host::TypeCheck;

// `for item in iterable`, with the host's list iteration: a list that changes under the walk
// is read at its current length.
template <class Visit>
void for_each_item(Handle iterable, Visit&& visit) {
  if (PyList_CheckExact(iterable.get())) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable.get()); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(iterable.get(), i));
      visit(item);
    }
    return;
  }
  Ref iterator = host::check(PyObject_GetIter(iterable));
  for (;;) {
    Ref item = Ref::steal(PyIter_Next(iterator.get()));
    if (!item) break;
    visit(item);
  }
  if (PyErr_Occurred() != nullptr) host::throw_error_set();
}

// `for key, value in mapping.items()` over a dict of this module's own, which nothing else can
// reach and change meanwhile.
template <class Visit>
void for_each_entry(Handle dict, Visit&& visit) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    Ref held_key = Ref::borrow(key);
    Ref held_value = Ref::borrow(value);
    visit(held_key, held_value);
  }
}

bool contains(Handle dict, Handle key) {
  return host::check_status(PyDict_Contains(dict, key)) != 0;
}

Ref new_dict() {
  return host::check(PyDict_New());
}

void append(Handle list, Handle item) {
  host::check_status(PyList_Append(list, item));
}

// The code cells of a document by canvas id, each as a record on the document's own mapping.
// A repeated id keeps its first place and its last cell.
template <class Records>
Ref index_cells(const Records& records, Handle document) {
  Ref index = new_dict();
  PyObject* cells = PyDict_GetItemWithError(document, host::key<"cells">());
  if (cells == nullptr) {
    if (PyErr_Occurred() != nullptr) host::throw_error_set();
    return index;
  }
  Ref held = Ref::borrow(cells);
  for_each_item(held, [&](Handle cell) {
    Ref cell_type = get_item(cell, host::key<"cell_type">());
    const bool is_code = PyUnicode_CheckExact(cell_type.get())
                             ? same_text(cell_type.get(), host::key<"code">())
                             : host::check_status(PyObject_RichCompareBool(
                                   cell_type.get(), host::key<"code">(), Py_EQ)) != 0;
    if (!is_code) return;
    Ref id = get_item(canvas_of(cell), host::key<"id">());
    Ref record = records.index_record(cell);
    host::check_status(PyDict_SetItem(index.get(), id.get(), record.get()));
  });
  return index;
}

template <class Records>
typename Records::DiffCell removed_cell(const Records& records, Handle previous) {
  auto diff_cell = records.diff_cell(previous);
  records.set_cell_status(diff_cell, Status::kRemoved);
  records.set_prev_source(diff_cell, records.source(diff_cell));
  records.set_source(diff_cell, new_list());
  records.set_removed_parents(diff_cell, records.parents(diff_cell));
  records.set_parents(diff_cell, new_list());
  return diff_cell;
}

template <class Records>
typename Records::DiffCell added_cell(const Records& records, Handle current) {
  auto diff_cell = records.diff_cell(current);
  records.set_cell_status(diff_cell, Status::kAdded);
  records.set_prev_source(diff_cell, new_list());
  records.set_added_parents(diff_cell, records.parents(diff_cell));
  records.set_parents(diff_cell, new_list());
  return diff_cell;
}

template <class Records>
typename Records::DiffCell cell_in_both(const Records& records, Handle previous, Handle current) {
  auto diff_cell = records.diff_cell(current);
  records.set_prev_source(diff_cell, records.source(previous));
  if (records.modified(diff_cell)) records.set_cell_status(diff_cell, Status::kModified);
  ParentNames current_names(records.parents(current));
  ParentNames previous_names(records.parents(previous));
  ParentLinks links(current_names, previous_names);
  records.set_added_parents(diff_cell, links.added);
  records.set_removed_parents(diff_cell, links.removed);
  records.set_parents(diff_cell, links.kept);
  return diff_cell;
}

// The parameters of a document by name, each as a record on the document's own mapping. A
// document whose parameter list cannot be reached, or that has a parameter without a name,
// counts as having none.
template <class Records>
Ref index_parameters(const Records& records, Handle document) {
  Ref index = new_dict();
  try {
    Ref metadata = get_item(document, host::key<"metadata">());
    Ref canvas = get_item(metadata, host::key<"canvas">());
    Ref parameters = get_item(canvas, host::key<"parameters">());
    for_each_item(parameters, [&](Handle parameter) {
      Ref name = get_item(parameter, host::key<"name">());
      Ref record = records.parameter(parameter);
      host::check_status(PyDict_SetItem(index.get(), name.get(), record.get()));
    });
  } catch (const host::ErrorAlreadySet&) {
    if (PyErr_ExceptionMatches(PyExc_KeyError) == 0) throw;
    PyErr_Clear();
    return new_dict();
  }
  return index;
}

// A null previous type or value is recorded as null: the setters take texts only.
template <class Records, class Setter>
void record_previous(const Records& records, Handle record, PyObject* key, Handle previous,
                     Setter&& set) {
  if (previous.get() == Py_None) {
    set_item(records.parameter_data(record), key, previous);
  } else {
    set(previous);
  }
}

template <class Records>
void parameter_in_both(const Records& records, Handle previous, Handle current) {
  Ref value = records.parameter_value(current);
  Ref previous_value = records.parameter_value(previous);
  Ref differ = host::check(PyObject_RichCompare(value.get(), previous_value.get(), Py_NE));
  if (!host::is_true(differ.get())) return;
  records.set_parameter_status(current, Status::kModified);
  record_previous(records, current, host::key<"prev_type">(), records.parameter_type(previous),
                  [&](Handle type) { records.set_prev_type(current, type); });
  record_previous(records, current, host::key<"prev_value">(), records.parameter_value(previous),
                  [&](Handle text) { records.set_prev_value(current, text); });
}

// The diff cells of the two versions: the removed ones in previous's order, then the added ones
// and the ones in both, in current's order.
template <class Records>
Ref diff_cells(const Records& records, Handle prev, Handle current) {
  Ref current_cells = index_cells(records, current);
  Ref prev_cells = index_cells(records, prev);

  std::vector<typename Records::DiffCell> diff_cells;
  for_each_entry(prev_cells, [&](Handle id, Handle previous) {
    if (!contains(current_cells, id)) diff_cells.push_back(removed_cell(records, previous));
  });
  // Each current id is looked up in the previous index once; the cells found there wait for
  // the third pass, in current's order.
  std::vector<std::pair<Ref, Ref>> in_both;
  for_each_entry(current_cells, [&](Handle id, Handle cell) {
    PyObject* previous = PyDict_GetItemWithError(prev_cells.get(), id);
    if (previous != nullptr) {
      in_both.emplace_back(Ref::borrow(previous), cell.new_ref());
    } else if (PyErr_Occurred() != nullptr) {
      host::throw_error_set();
    } else {
      diff_cells.push_back(added_cell(records, cell));
    }
  });
  for (const auto& [previous, cell] : in_both) {
    diff_cells.push_back(cell_in_both(records, previous, cell));
  }

  Ref cells = host::check(PyList_New(0));
  for (const auto& diff_cell : diff_cells) append(cells, records.cell_data(diff_cell));
  return cells;
}

// The marked parameters: the removed ones, then the ones in both, then the added ones.
template <class Records>
Ref diff_parameters(const Records& records, Handle prev, Handle current) {
  Ref current_parameters = index_parameters(records, current);
  Ref prev_parameters = index_parameters(records, prev);
  std::vector<Ref> diff_parameters;
  for_each_entry(prev_parameters, [&](Handle name, Handle previous) {
    if (contains(current_parameters, name)) return;
    diff_parameters.push_back(previous.new_ref());
    records.set_parameter_status(previous, Status::kRemoved);
  });
  for_each_entry(current_parameters, [&](Handle name, Handle parameter) {
    PyObject* previous = PyDict_GetItemWithError(prev_parameters.get(), name);
    if (previous == nullptr) {
      if (PyErr_Occurred() != nullptr) host::throw_error_set();
      return;
    }
    Ref held = Ref::borrow(previous);
    diff_parameters.push_back(parameter.new_ref());
    parameter_in_both(records, held, parameter);
  });
  for_each_entry(current_parameters, [&](Handle name, Handle parameter) {
    if (contains(prev_parameters, name)) return;
    diff_parameters.push_back(parameter.new_ref());
    records.set_parameter_status(parameter, Status::kAdded);
  });

  Ref parameter_list = host::check(PyList_New(0));
  for (const Ref& record : diff_parameters) append(parameter_list, records.parameter_data(record));
  return parameter_list;
}

// {"cells": [...], "metadata": {"canvas": {"parameter": [...]}}}
template <class Records>
Ref diff_documents(const Records& records, Handle prev, Handle current) {
  Ref diff_graph = new_dict();
  Ref cells = diff_cells(records, prev, current);
  host::check_status(PyDict_SetItem(diff_graph.get(), host::key<"cells">(), cells.get()));
  Ref parameter_list = diff_parameters(records, prev, current);
  Ref canvas = new_dict();
  host::check_status(PyDict_SetItem(canvas.get(), host::key<"parameter">(), parameter_list.get()));
  Ref metadata = new_dict();
  host::check_status(PyDict_SetItem(metadata.get(), host::key<"canvas">(), canvas.get()));
  host::check_status(PyDict_SetItem(diff_graph.get(), host::key<"metadata">(), metadata.get()));
  return diff_graph;
}

Ref diff_dicts_body(Function& function, PyObject* const* args) {
  host::CollectorPause pause;
  PyObject* globals = function.globals();
  if (collaborators_are_original()) {
    return diff_documents(DirectRecords(globals), args[0], args[1]);
  }
  return diff_documents(MemberRecords(globals), args[0], args[1]);
}

}  // namespace

const FunctionSpec kDiffDictsSpec{
    .name = "diff_dicts",
    .qualname = "diff_dicts",
    .doc = "Ipython Notebook Diff Driver main",
    .parameters = {{"prev", "Dict[str, Any]", TypeCheck::kDict},
                   {"current", "Dict[str, Any]", TypeCheck::kDict}},
    .return_annotation = "Dict[str, Any]",
    .working_names = {"current_cells", "prev_cells", "diff_cells", "cell_id", "diff_cell",
                      "prev_cell", "current_cell", "current_cell_parents", "prev_cell_parents",
                      "diff_graph", "current_parameters", "prev_parameters", "diff_parameters",
                      "parameter", "name"},
    .body = diff_dicts_body,
};

}  // namespace vornik::nbdelta
