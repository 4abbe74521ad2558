// `merge_files`: the three-way merge of one notebook file, cell by cell, written over the
// current version's file.
#include <optional>
#include <vector>

#include "host/collector.h"
#include "host/compat.h"
#include "host/function.h"
#include "host/items.h"
#include "json/document.h"
#include "nbweave/cell_access.h"
#include "nbweave/comment_index.h"
#include "nbweave/merge_engine.h"
#include "nbweave/merged_cells.h"
#include "nbweave/nbweave.h"
#include "nbweave/parameter_merge.h"

namespace vornik::nbweave {
namespace {

using host::Function;
using host::Handle;
using host::Ref;
using host::TypeCheck;

Ref item(Handle container, const char* key) {
  return host::get_item(container, host::intern(key));
}

bool contains(Handle container, const char* key) {
  return host::check_status(PySequence_Contains(container, host::intern(key))) != 0;
}

// `map[key]` of one of the merge's own maps, which hold every value they are asked for.
PyObject* dict_item(Handle map, Handle key) {
  return host::get_item(map, key).get();
}

// `del diff["outputs"]` when it has one.
void drop_outputs(Handle diff) {
  if (contains(diff, "outputs")) {
    host::check_status(PyObject_DelItem(diff, host::intern("outputs")));
  }
}

// A copy of the top level of a cell object; nested objects are shared.
Ref top_level_copy(Handle data) {
  if (PyDict_CheckExact(data)) return host::check(PyDict_Copy(data));
  return host::call(reinterpret_cast<PyObject*>(&PyDict_Type), data);
}

Ref text_of(Handle value) {
  return host::check(PyObject_Str(value));
}

class NotebookMerge {
 public:
  NotebookMerge(Function& function, PyObject* const* args)
      : function_(function),
        base_file_path_(args[0]),
        current_file_path_(args[1]),
        incoming_file_path_(args[2]),
        file_path_(args[3]) {}

  void run() {
    current_ = json::read_file(current_file_path_);
    base_ = json::read_file(base_file_path_);
    incoming_ = json::read_file(incoming_file_path_);

    merge_cell_ = function_.global("MergeCell");
    current_cells_ = cell_map(current_, "current", nullptr);
    cell_map(current_, "current", &merged_cells_);
    base_cells_ = cell_map(base_, "base", nullptr);
    incoming_cells_ = cell_map(incoming_, "incoming", nullptr);
    // Names change only through the merge's own steps unless foreign code takes part; then
    // the name map is rebuilt in full whenever it is read.
    tracked_names_ = merge_cell_.get() == merge_cell_class();

    cells_current_removed();
    merged_cells_.rebuild_names();
    cells_incoming_added();
    git_class_ = host::getattr(host::getattr(function_.global("git"), "cmd"), "Git");
    g_ = host::call(git_class_);
    names_stale_ = true;
    cells_both_kept();
    prune_parents();

    Ref parameters = merge_parameters(current_.get(), base_.get(), incoming_.get());
    Ref merged = top_level_copy(current_);
    std::vector<int> order = merged_cells_.order();
    Ref cells = host::check(PyList_New(static_cast<Py_ssize_t>(order.size())));
    for (size_t i = 0; i < order.size(); ++i) {
      Ref data = cell_data(merged_cells_.cell(order[i]));
      PyList_SET_ITEM(cells.get(), static_cast<Py_ssize_t>(i), data.release());
    }
    host::check_status(PyObject_SetItem(merged.get(), host::intern("cells"), cells.get()));
    Ref canvas = item(item(merged, "metadata"), "canvas");
    host::check_status(
        PyObject_SetItem(canvas.get(), host::intern("parameters"), parameters.get()));
    json::write_file(current_file_path_, merged);
  }

 private:
  Ref make_cell(Handle data, const char* tag, bool by_keyword) {
    PyObject* args[] = {nullptr, data.get(), host::intern(tag)};
    if (!by_keyword) {
      return host::check(PyObject_Vectorcall(merge_cell_.get(), args + 1,
                                             2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    return host::check(PyObject_Vectorcall(
        merge_cell_.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, type_keyword_.get()));
  }

  // Cell id to MergeCell over each cell of `document`, in document order; a repeated id keeps
  // the later cell at the earlier one's place.
  Ref cell_map(Handle document, const char* tag, MergedCells* merged) {
    Ref map = merged == nullptr ? host::check(PyDict_New()) : Ref();
    Ref cells = item(document, "cells");
    Ref iterator = host::check(PyObject_GetIter(cells.get()));
    while (Ref cell = Ref::steal(PyIter_Next(iterator.get()))) {
      Ref cell_id = item(item(item(cell, "metadata"), "canvas"), "id");
      Ref record = make_cell(cell, tag, true);
      if (merged != nullptr) {
        merged->assign(cell_id.get(), record.get());
      } else {
        host::check_status(PyDict_SetItem(map.get(), cell_id.get(), record.get()));
      }
    }
    if (PyErr_Occurred()) host::throw_error_set();
    return map;
  }

  Ref cell_changed(Handle cell0, Handle cell1) {
    if (!cell_changed_) cell_changed_ = function_.global("_cell_changed");
    if (tracked_names_ && cell_changed_.get() != cell_changed_function()) tracked_names_ = false;
    return host::call(cell_changed_, cell0, cell1);
  }

  void mark(int entry) {
    host::call(host::getattr(merged_cells_.cell(entry), "add_conflict_mark"));
    renamed(entry);
  }

  // Keeps the name map in step with one entry whose name may have changed. Until the map is
  // first read in pass C it is rebuilt in full anyway, and pass B must see it as it stood.
  void renamed(int entry) {
    if (tracked_names_ && !names_stale_) merged_cells_.refresh_name(entry);
  }

  // merged_cells[id] = MergeCell(copy of incoming's cell, file_type="incoming").
  int take_incoming(Handle cell_id) {
    Ref data = cell_data(dict_item(incoming_cells_, cell_id));
    Ref record = make_cell(top_level_copy(data), "incoming", true);
    int entry = merged_cells_.assign(cell_id.get(), record.get());
    renamed(entry);
    return entry;
  }

  // Makes the name map what a full rebuild from merged_cells would give now.
  void fresh_names() {
    if (!tracked_names_ || names_stale_) {
      merged_cells_.rebuild_names();
      names_stale_ = false;
    }
  }

  void merge_source(Handle cell_id) {
    if (!merge_source_) {
      merge_source_ = function_.global("_merge_source");
      current_label_ = host::check(PyNumber_Add(file_path_, host::intern("-current")));
      incoming_label_ = host::check(PyNumber_Add(file_path_, host::intern("-incoming")));
      open_engine();
    }
    Ref current = host::getattr(dict_item(current_cells_, cell_id), "source");
    Ref base = host::getattr(dict_item(base_cells_, cell_id), "source");
    Ref incoming = host::getattr(dict_item(incoming_cells_, cell_id), "source");
    if (engine_) {
      engine::Session::Cell cell =
          engine_->merge(current, base, incoming, current_label_, incoming_label_);
      // git reports conflicts as a failure, which `_merge_source` lets pass only as the error
      // class that GitPython raises.
      if (cell.lines && (!cell.conflicted || command_error_is_stock())) {
        host::setattr(merged_cells_.cell_for(cell_id.get()), "source", cell.lines);
        return;
      }
    }
    PyObject* args[] = {nullptr,
                        g_.get(),
                        current.get(),
                        base.get(),
                        incoming.get(),
                        current_label_.get(),
                        incoming_label_.get()};
    Ref merged = host::check(PyObject_Vectorcall(
        merge_source_.get(), args + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, label_keywords_.get()));
    host::setattr(merged_cells_.cell_for(cell_id.get()), "source", merged);
  }

  // The engine merges the cells' sources in place of `_merge_source` only where nobody replaced
  // the function or the git command class: replaced ones are called as they are.
  void open_engine() {
    if (merge_source_.get() != merge_source_function() || !engine::stock_git_class(git_class_) ||
        !engine::stock_git(g_)) {
      return;
    }
    Ref executable;
    try {
      executable = host::getattr(g_, "GIT_PYTHON_GIT_EXECUTABLE");
    } catch (const host::ErrorAlreadySet&) {
      if (engine::drop_ordinary_error()) return;
      throw;
    }
    engine_ = engine::Session::open(function_.globals(), executable);
  }

  bool command_error_is_stock() {
    try {
      return engine::stock_command_error(host::getattr(function_.global("git"), "GitCommandError"));
    } catch (const host::ErrorAlreadySet&) {
      if (engine::drop_ordinary_error()) return false;
      throw;
    }
  }

  void duplicate(Handle cell_id, bool with_marks) {
    Ref data = cell_data(dict_item(incoming_cells_, cell_id));
    Ref new_cell = make_cell(top_level_copy(data), "incoming", false);
    Ref uuid = function_.global("uuid");
    host::setattr(new_cell, "link_id", text_of(host::call(host::getattr(uuid, "uuid4"))));
    host::setattr(new_cell, "cell_id", text_of(host::call(host::getattr(uuid, "uuid4"))));
    int anchor = merged_cells_.find(cell_id.get());
    if (anchor < 0) {
      PyErr_SetObject(PyExc_ValueError, cell_id);
      host::throw_error_set();
    }
    if (with_marks) {
      mark(anchor);
      host::call(host::getattr(new_cell, "add_conflict_mark"));
    }
    Ref link_id = host::getattr(new_cell, "link_id");
    renamed(merged_cells_.insert_after(anchor, link_id.get(), new_cell.get()));
  }

  // Pass A, in base's order: cells that current removed.
  void cells_current_removed() {
    for (Ref& cell_id : dict_keys(base_cells_.get())) {
      if (host::dict_contains(current_cells_, cell_id) ||
          !host::dict_contains(incoming_cells_, cell_id)) {
        continue;
      }
      Ref diff = cell_changed(dict_item(base_cells_, cell_id), dict_item(incoming_cells_, cell_id));
      if (!host::is_true(diff.get())) continue;
      mark(take_incoming(cell_id));
    }
  }

  // Pass B, in incoming's order: cells that incoming added. Names are matched against the map
  // as it stood before the pass, so cells added here never clash with one another.
  void cells_incoming_added() {
    for (Ref& cell_id : dict_keys(incoming_cells_.get())) {
      if (host::dict_contains(base_cells_, cell_id)) continue;
      if (host::dict_contains(current_cells_, cell_id) && host::assertions_enabled()) {
        PyErr_SetNone(PyExc_AssertionError);
        host::throw_error_set();
      }
      Ref incoming_comp_name = cell_name(dict_item(incoming_cells_, cell_id));
      int clash = merged_cells_.entry_named(incoming_comp_name.get());
      int entry = take_incoming(cell_id);
      if (clash >= 0) {
        // The clashing entry's key is looked up again: the map may have moved on.
        mark(clash);
        mark(entry);
      }
    }
  }

  // Pass C, in current's order: cells that base and current both have.
  void cells_both_kept() {
    for (Ref& cell_id : dict_keys(current_cells_.get())) {
      if (!host::dict_contains(base_cells_, cell_id)) continue;
      PyObject* base_cell = dict_item(base_cells_, cell_id);
      Ref current_cell_diff = cell_changed(base_cell, dict_item(current_cells_, cell_id));
      drop_outputs(current_cell_diff);
      bool in_incoming = host::dict_contains(incoming_cells_, cell_id);
      if (!host::is_true(current_cell_diff.get())) {
        if (!in_incoming) {
          incoming_removed_unchanged(cell_id);
        } else {
          incoming_may_have_changed(cell_id, base_cell);
        }
        continue;
      }
      if (!in_incoming) {
        // Current changed what incoming removed: current's version stays, marked.
        Ref name = cell_name(merged_cells_.cell_for(cell_id.get()));
        int entry = merged_cells_.find(cell_id.get());
        if (host::is_true(name.get())) mark(entry);
        continue;
      }
      both_changed(cell_id, base_cell);
    }
  }

  // Current left the cell alone and incoming removed it: the cell goes, and a cell that took
  // its name as incoming's conflicting variant gets the plain name back.
  void incoming_removed_unchanged(Handle cell_id) {
    fresh_names();
    Ref comp_name = cell_name(merged_cells_.cell_for(cell_id.get()));
    if (host::is_true(comp_name.get())) {
      Ref pop_comp_name = host::check(PyNumber_Add(host::intern(">>> "), comp_name.get()));
      int comp_id = merged_cells_.entry_named(pop_comp_name.get());
      if (comp_id >= 0) {
        host::setattr(merged_cells_.cell(comp_id), "name", comp_name);
        renamed(comp_id);
      }
    }
    merged_cells_.remove(cell_id.get());
  }

  // Current left the cell alone: incoming's version, if it changed, takes its place.
  void incoming_may_have_changed(Handle cell_id, Handle base_cell) {
    fresh_names();
    Ref incoming_cell_diff = cell_changed(base_cell, dict_item(incoming_cells_, cell_id));
    drop_outputs(incoming_cell_diff);
    if (!host::is_true(incoming_cell_diff.get())) return;
    Ref incoming_comp_name = cell_name(dict_item(incoming_cells_, cell_id));
    int clash = merged_cells_.entry_named(incoming_comp_name.get());
    bool elsewhere = clash >= 0 && host::check_status(PyObject_RichCompareBool(
                                       merged_cells_.key(clash), cell_id.get(), Py_NE)) != 0;
    int entry = take_incoming(cell_id);
    if (elsewhere) {
      mark(clash);
      mark(entry);
    }
  }

  // Both sides changed the cell.
  void both_changed(Handle cell_id, Handle base_cell) {
    Ref incoming_cell_diff = cell_changed(base_cell, dict_item(incoming_cells_, cell_id));
    drop_outputs(incoming_cell_diff);
    if (!host::is_true(incoming_cell_diff.get())) return;
    Ref current_comp_name = cell_name(dict_item(current_cells_, cell_id));
    Ref incoming_comp_name = cell_name(dict_item(incoming_cells_, cell_id));
    bool current_named = host::is_true(current_comp_name.get());
    bool incoming_named = host::is_true(incoming_comp_name.get());
    bool source_changed = contains(incoming_cell_diff, "source");

    Ref canvas_diff;
    if (contains(incoming_cell_diff, "metadata")) {
      Ref metadata_diff = item(incoming_cell_diff, "metadata");
      if (contains(metadata_diff, "canvas")) canvas_diff = item(metadata_diff, "canvas");
    }
    if (!canvas_diff) {
      if (current_named != incoming_named) {
        duplicate(cell_id, false);
      } else {
        merge_source(cell_id);
      }
      return;
    }
    Ref changed_keys = host::check(PySet_New(canvas_diff.get()));
    if (host::check_status(
            PyObject_RichCompareBool(changed_keys.get(), header_colour_only_.get(), Py_EQ)) != 0) {
      if (source_changed) merge_source(cell_id);
      return;
    }
    if (host::check_status(
            PyObject_RichCompareBool(changed_keys.get(), comments_and_colour_.get(), Py_LE)) != 0) {
      take_comments(cell_id, canvas_diff);
      if (source_changed) merge_source(cell_id);
      return;
    }
    if (!current_named && !incoming_named) {
      merge_source(cell_id);
    } else {
      duplicate(cell_id, current_named && incoming_named);
    }
  }

  void take_comments(Handle cell_id, Handle canvas_diff) {
    Ref comments = item(canvas_diff, "comments");
    Ref iterator = host::check(PyObject_GetIter(comments.get()));
    PyObject* cell = merged_cells_.cell_for(cell_id.get());
    Ref held = Ref::borrow(cell);
    CommentIndex present_comments(stock_comments(held));
    while (Ref incoming_comment = Ref::steal(PyIter_Next(iterator.get()))) {
      Ref present = host::getattr(held, "comments");
      if (present_comments.contains(present, incoming_comment)) continue;
      host::call(host::getattr(held, "add_comment"), incoming_comment);
    }
    if (PyErr_Occurred()) host::throw_error_set();
  }

  // Named cells keep only links to named cells of the merge, as {"id": ...}.
  void prune_parents() {
    std::vector<int> comp_ids;
    Ref comp_id_set = host::check(PySet_New(nullptr));
    for (int entry : merged_cells_.order()) {
      Ref name = cell_name(merged_cells_.cell(entry));
      if (!host::is_true(name.get())) continue;
      comp_ids.push_back(entry);
      host::check_status(PySet_Add(comp_id_set.get(), merged_cells_.key(entry)));
    }
    for (int entry : comp_ids) {
      Ref cell = Ref::borrow(merged_cells_.cell(entry));
      Ref parents = cell_parents(cell);
      Ref new_parents = host::check(PyList_New(0));
      Ref iterator = host::check(PyObject_GetIter(parents.get()));
      while (Ref parent = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref parent_id = item(parent, "id");
        int present = PySet_Contains(comp_id_set.get(), parent_id.get());
        if (present < 0) {
          // An unhashable id equals no key.
          if (!PyErr_ExceptionMatches(PyExc_TypeError)) host::throw_error_set();
          PyErr_Clear();
          present = 0;
        }
        if (present == 0) continue;
        Ref link = host::check(PyDict_New());
        host::check_status(PyDict_SetItem(link.get(), host::intern("id"), parent_id.get()));
        host::check_status(PyList_Append(new_parents.get(), link.get()));
      }
      if (PyErr_Occurred()) host::throw_error_set();
      host::setattr(cell, "parents", new_parents);
    }
  }

  Function& function_;
  PyObject* base_file_path_;
  PyObject* current_file_path_;
  PyObject* incoming_file_path_;
  PyObject* file_path_;

  Ref current_;
  Ref base_;
  Ref incoming_;
  Ref merge_cell_;
  Ref cell_changed_;
  Ref merge_source_;
  Ref current_label_;
  Ref incoming_label_;
  Ref git_class_;
  Ref g_;
  std::optional<engine::Session> engine_;
  Ref type_keyword_ = host::intern_tuple({"file_type"});
  Ref label_keywords_ = host::intern_tuple({"current_name", "incoming_name"});
  Ref header_colour_only_ = host::check(PyFrozenSet_New(host::intern_tuple({"headerColor"}).get()));
  Ref comments_and_colour_ =
      host::check(PyFrozenSet_New(host::intern_tuple({"comments", "headerColor"}).get()));
  Ref current_cells_;
  Ref base_cells_;
  Ref incoming_cells_;
  MergedCells merged_cells_;
  bool tracked_names_ = true;
  bool names_stale_ = true;
};

Ref merge_files(Function& function, PyObject* const* args) {
  // Everything the merge builds is freed by reference counting when it returns; collections
  // meanwhile would only walk the three documents again and again.
  host::CollectorPause pause;
  NotebookMerge(function, args).run();
  return Ref::borrow(Py_None);
}

}  // namespace

const host::FunctionSpec kMergeFilesSpec{
    .name = "merge_files",
    .qualname = "merge_files",
    .doc = "Ipython Notebook Merge Driver main",
    .parameters = {{"base_file_path", "str", TypeCheck::kStr},
                   {"current_file_path", "str", TypeCheck::kStr},
                   {"incoming_file_path", "str", TypeCheck::kStr},
                   {"file_path", "str", TypeCheck::kStr}},
    .return_annotation = "None",
    .working_names = {"current_file",
                      "current",
                      "base_file",
                      "base",
                      "incoming_file",
                      "incoming",
                      "current_cells",
                      "merged_cells",
                      "base_cells",
                      "incoming_cells",
                      "cell_id",
                      "comp_names",
                      "incoming_comp_name",
                      "g",
                      "current_cell_diff",
                      "incoming_cell_diff",
                      "current_comp_name",
                      "incoming_comment",
                      "new_cell",
                      "list_of_tuples",
                      "offset",
                      "pop_comp_name",
                      "comp_name",
                      "comp_id",
                      "comp_ids",
                      "new_parents",
                      "current_parameters",
                      "base_parameters",
                      "incoming_parameters",
                      "merged_parameters",
                      "name",
                      "merged",
                      "fp"},
    .body = merge_files,
};

}  // namespace vornik::nbweave
