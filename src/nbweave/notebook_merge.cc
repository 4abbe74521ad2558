// The merge's steps: the cell maps, passes A, B and C, the parent pruning and the result.
#include "nbweave/notebook_merge.h"

#include <vector>

#include "host/compat.h"
#include "host/items.h"
#include "json/document.h"
#include "nbweave/comment_index.h"
#include "nbweave/dict_keys.h"
#include "nbweave/parameter_merge.h"
#include "nbweave/source_forecast.h"

namespace vornik::nbweave {
namespace {

using host::Handle;
using host::Ref;

bool contains(Handle container, PyObject* key) {
  return host::check_status(PySequence_Contains(container, key)) != 0;
}

// `map[key]` of one of the merge's own maps, which hold every value they are asked for.
PyObject* dict_item(Handle map, Handle key) {
  return host::get_item(map, key).get();
}

// `del diff["outputs"]` when it has one.
void drop_outputs(Handle diff) {
  if (contains(diff, host::key<"outputs">())) {
    host::check_status(PyObject_DelItem(diff, host::key<"outputs">()));
  }
}

// A copy of the top level of a cell object; nested objects are shared.
Ref top_level_copy(Handle data) {
  if (PyDict_CheckExact(data)) return host::check(PyDict_Copy(data));
  return host::call(reinterpret_cast<PyObject*>(&PyDict_Type), data);
}

Ref key_set(std::initializer_list<const char*> keys) {
  return host::check(PyFrozenSet_New(host::intern_tuple(keys).get()));
}

bool compares(Handle a, Handle b, int operation) {
  return host::check_status(PyObject_RichCompareBool(a, b, operation)) != 0;
}

}  // namespace

template <class Records>
NotebookMerge<Records>::NotebookMerge(host::Function& function, PyObject* const* args,
                                      bool others_original)
    : function_(function),
      base_file_path_(args[0]),
      current_file_path_(args[1]),
      incoming_file_path_(args[2]),
      records_(function, others_original),
      sources_(function, args[3]),
      header_colour_only_(key_set({"headerColor"})),
      comments_and_colour_(key_set({"comments", "headerColor"})) {}

template <class Records>
void NotebookMerge<Records>::run() {
  try {
    steps();
  } catch (const host::ErrorAlreadySet&) {
    if (!sources_.pending() || PyErr_ExceptionMatches(PyExc_Exception) == 0) throw;
    // The source merges put off came before the failing step; a failure of theirs comes first.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Ref held[] = {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    settle();
    PyErr_Restore(held[0].release(), held[1].release(), held[2].release());
    throw;
  }
}

template <class Records>
void NotebookMerge<Records>::steps() {
  if (records_.defers_source_merges() && records_.changes_invisibly()) {
    sources_.prepare_early(records_.git_class());
  }
  {
    // Base and incoming come off the disk while current is parsed.
    json::FilePrefetch base_text(base_file_path_);
    json::FilePrefetch incoming_text(incoming_file_path_);
    current_ = json::read_file(current_file_path_);
    base_ = json::read_file(base_file_path_, &base_text);
    incoming_ = json::read_file(incoming_file_path_, &incoming_text);
  }

  current_cells_ = cell_map(current_, Version::kCurrent, nullptr);
  cell_map(current_, Version::kCurrent, &merged_cells_);
  base_cells_ = cell_map(base_, Version::kBase, nullptr);
  incoming_cells_ = cell_map(incoming_, Version::kIncoming, nullptr);
  // Nothing visible happens before pass C's first source merge: where there will be one, the
  // session it opens, prepared meanwhile, starts its git now.
  if (sources_.prepared_early()) {
    sources_.release_early(source_merge_certain(current_cells_, base_cells_, incoming_cells_));
  }

  cells_current_removed();
  rebuild_names();
  cells_incoming_added();
  git_class_ = records_.git_class();
  g_ = host::call(git_class_);
  if (records_.tracks_names()) {
    rebuild_names();
    names_followed_ = true;
  }
  cells_both_kept();
  prune_parents();
  Ref merged = write_merged();
  if (records_.defers_source_merges()) {
    write_behind(std::move(merged));
    return;
  }
  // Every source merge is done (none waits where merges are not put off); the versions are
  // not read any more.
  release_versions();
  json::write_file(current_file_path_, merged);
}

template <class Records>
void NotebookMerge<Records>::release_versions() {
  for (Ref* version : {&current_cells_, &base_cells_, &incoming_cells_, &base_, &incoming_}) {
    version->reset();
  }
}

// Writes `merged` on a thread of its own. Where the merges put off come out the same whatever
// the session decides, the file is written beside the current one while git still runs, and put
// in place once the session stands.
template <class Records>
void NotebookMerge<Records>::write_behind(Ref merged) {
  std::optional<json::FileWrite> write;
  if (sources_.flush_ahead(records_)) {
    write.emplace(current_file_path_, merged, true);
    if (!sources_.confirm()) write.reset();
  }
  settle();
  if (!write) write.emplace(current_file_path_, merged);
  write->commit();
  // All the merge holds is the parser's, git's and the module's own objects: they are freed
  // while the file is written.
  merged.reset();
  release_versions();
  current_.reset();
  merged_cells_.clear();
  write->finish();
}

// The change test; source merges put off are done first where its effects show.
template <class Records>
Ref NotebookMerge<Records>::changed(Handle record0, Handle record1) {
  if (!records_.changes_invisibly()) {
    sources_.forget_early();
    if (sources_.pending()) settle();
  }
  return records_.changed(record0, record1);
}

// Does the source merges put off.
template <class Records>
void NotebookMerge<Records>::settle() {
  sources_.flush(records_, g_);
}

// The output document: current's top level with the merged cells and parameters.
template <class Records>
Ref NotebookMerge<Records>::write_merged() {
  Ref parameters = merge_parameters(current_.get(), base_.get(), incoming_.get());
  Ref merged = top_level_copy(current_);
  std::vector<int> order = merged_cells_.order();
  Ref cells = host::check(PyList_New(static_cast<Py_ssize_t>(order.size())));
  for (size_t i = 0; i < order.size(); ++i) {
    Ref data = records_.data(merged_cells_.cell(order[i]));
    PyList_SET_ITEM(cells.get(), static_cast<Py_ssize_t>(i), data.release());
  }
  host::check_status(PyObject_SetItem(merged.get(), host::key<"cells">(), cells.get()));
  Ref canvas =
      host::get_item(host::get_item(merged, host::key<"metadata">()), host::key<"canvas">());
  host::check_status(PyObject_SetItem(canvas.get(), host::key<"parameters">(), parameters.get()));
  return merged;
}

// Cell id to record over each cell of `document`, in document order; a repeated id keeps the
// later cell at the earlier one's place.
template <class Records>
Ref NotebookMerge<Records>::cell_map(Handle document, Version version, MergedCells* merged) {
  Ref map = merged == nullptr ? host::check(PyDict_New()) : Ref();
  Ref cells = host::get_item(document, host::key<"cells">());
  Ref iterator = host::check(PyObject_GetIter(cells.get()));
  while (Ref cell = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref cell_id = host::get_item(
        host::get_item(host::get_item(cell, host::key<"metadata">()), host::key<"canvas">()),
        host::key<"id">());
    Ref record = records_.make(cell, version, true);
    if (merged != nullptr) {
      merged->assign(cell_id.get(), record.get(), version);
    } else {
      host::check_status(PyDict_SetItem(map.get(), cell_id.get(), record.get()));
    }
  }
  if (PyErr_Occurred()) host::throw_error_set();
  return map;
}

template <class Records>
Ref NotebookMerge<Records>::truthy_name(Handle record) {
  Ref name = records_.name(record);
  return host::is_true(name.get()) ? std::move(name) : Ref();
}

// The name map as a walk over the merged cells in order makes it.
template <class Records>
void NotebookMerge<Records>::rebuild_names() {
  merged_cells_.clear_names();
  for (int entry : merged_cells_.order()) {
    merged_cells_.name_entry(entry, truthy_name(merged_cells_.cell(entry)));
  }
}

// One entry's name may have changed: where the map follows changes, it takes the new one.
template <class Records>
void NotebookMerge<Records>::renamed(int entry) {
  if (names_followed_) merged_cells_.name_entry(entry, truthy_name(merged_cells_.cell(entry)));
}

// The map about to be read must be what a full rebuild would give now.
template <class Records>
void NotebookMerge<Records>::fresh_names() {
  if (!records_.tracks_names()) rebuild_names();
}

template <class Records>
void NotebookMerge<Records>::mark(int entry) {
  records_.mark(merged_cells_.cell(entry), merged_cells_.version(entry));
  renamed(entry);
}

// merged_cells[id] = MergeCell(copy of incoming's cell, file_type="incoming").
template <class Records>
int NotebookMerge<Records>::take_incoming(Handle cell_id) {
  Ref data = records_.data(dict_item(incoming_cells_, cell_id));
  Ref record = records_.make(top_level_copy(data), Version::kIncoming, true);
  int entry = merged_cells_.assign(cell_id.get(), record.get(), Version::kIncoming);
  renamed(entry);
  return entry;
}

template <class Records>
void NotebookMerge<Records>::merge_source(Handle cell_id) {
  if (!sources_.started()) {
    sources_.start(records_.merge_source(), git_class_, g_, records_.defers_source_merges());
  }
  Ref current = records_.source(dict_item(current_cells_, cell_id));
  Ref base = records_.source(dict_item(base_cells_, cell_id));
  Ref incoming = records_.source(dict_item(incoming_cells_, cell_id));
  sources_.merge(
      records_, g_, [&] { return merged_cells_.cell_for(cell_id.get()); }, current, base, incoming);
}

template <class Records>
void NotebookMerge<Records>::duplicate(Handle cell_id, bool with_marks) {
  Ref data = records_.data(dict_item(incoming_cells_, cell_id));
  Ref new_cell = records_.make(top_level_copy(data), Version::kIncoming, false);
  settle();  // uuid draws show
  records_.identify(new_cell);
  int anchor = merged_cells_.find(cell_id.get());
  if (anchor < 0) {
    PyErr_SetObject(PyExc_ValueError, cell_id);
    host::throw_error_set();
  }
  if (with_marks) {
    mark(anchor);
    records_.mark(new_cell, Version::kIncoming);
  }
  Ref link_id = records_.link_id(new_cell);
  renamed(merged_cells_.insert_after(anchor, link_id.get(), new_cell.get(), Version::kIncoming));
}

template <class Records>
void NotebookMerge<Records>::take_comments(Handle cell_id, Handle canvas_diff) {
  Ref comments = host::get_item(canvas_diff, host::key<"comments">());
  Ref iterator = host::check(PyObject_GetIter(comments.get()));
  Ref held = Ref::borrow(merged_cells_.cell_for(cell_id.get()));
  CommentIndex present_comments(Records::kCommentsOnlyGrow);
  while (Ref incoming_comment = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref present = records_.comments(held);
    if (present_comments.contains(present, incoming_comment)) continue;
    records_.add_comment(held, incoming_comment);
  }
  if (PyErr_Occurred()) host::throw_error_set();
}

// Pass A, in base's order: cells that current removed.
template <class Records>
void NotebookMerge<Records>::cells_current_removed() {
  for (Ref& cell_id : dict_keys(base_cells_.get())) {
    if (host::dict_contains(current_cells_, cell_id) ||
        !host::dict_contains(incoming_cells_, cell_id)) {
      continue;
    }
    Ref diff = changed(dict_item(base_cells_, cell_id), dict_item(incoming_cells_, cell_id));
    if (!host::is_true(diff.get())) continue;
    mark(take_incoming(cell_id));
  }
}

// Pass B, in incoming's order: cells that incoming added. Names are matched against the map
// as it stood before the pass, so cells added here never clash with one another.
template <class Records>
void NotebookMerge<Records>::cells_incoming_added() {
  for (Ref& cell_id : dict_keys(incoming_cells_.get())) {
    if (host::dict_contains(base_cells_, cell_id)) continue;
    if (host::dict_contains(current_cells_, cell_id) && host::assertions_enabled()) {
      PyErr_SetNone(PyExc_AssertionError);
      host::throw_error_set();
    }
    Ref incoming_comp_name = records_.name(dict_item(incoming_cells_, cell_id));
    int clash = merged_cells_.entry_named(incoming_comp_name.get());
    int entry = take_incoming(cell_id);
    if (clash >= 0) {
      mark(clash);
      mark(entry);
    }
  }
}

// Pass C, in current's order: cells that base and current both have.
template <class Records>
void NotebookMerge<Records>::cells_both_kept() {
  for (Ref& cell_id : dict_keys(current_cells_.get())) {
    if (!host::dict_contains(base_cells_, cell_id)) continue;
    PyObject* base_cell = dict_item(base_cells_, cell_id);
    Ref current_cell_diff = changed(base_cell, dict_item(current_cells_, cell_id));
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
      Ref name = records_.name(merged_cells_.cell_for(cell_id.get()));
      int entry = merged_cells_.find(cell_id.get());
      if (host::is_true(name.get())) mark(entry);
      continue;
    }
    both_changed(cell_id, base_cell);
  }
}

// Current left the cell alone and incoming removed it: the cell goes, and a cell that took
// its name as incoming's conflicting variant gets the plain name back.
template <class Records>
void NotebookMerge<Records>::incoming_removed_unchanged(Handle cell_id) {
  fresh_names();
  Ref comp_name = records_.name(merged_cells_.cell_for(cell_id.get()));
  if (host::is_true(comp_name.get())) {
    Ref pop_comp_name = host::check(PyNumber_Add(host::key<">>> ">(), comp_name.get()));
    int comp_id = merged_cells_.entry_named(pop_comp_name.get());
    if (comp_id >= 0) {
      records_.set_name(merged_cells_.cell(comp_id), comp_name);
      renamed(comp_id);
    }
  }
  merged_cells_.remove(cell_id.get());
}

// Current left the cell alone: incoming's version, if it changed, takes its place.
template <class Records>
void NotebookMerge<Records>::incoming_may_have_changed(Handle cell_id, Handle base_cell) {
  fresh_names();
  Ref incoming_cell_diff = changed(base_cell, dict_item(incoming_cells_, cell_id));
  drop_outputs(incoming_cell_diff);
  if (!host::is_true(incoming_cell_diff.get())) return;
  Ref incoming_comp_name = records_.name(dict_item(incoming_cells_, cell_id));
  int clash = merged_cells_.entry_named(incoming_comp_name.get());
  bool elsewhere = clash >= 0 && compares(merged_cells_.key(clash), cell_id, Py_NE);
  int entry = take_incoming(cell_id);
  if (elsewhere) {
    mark(clash);
    mark(entry);
  }
}

// Both sides changed the cell.
template <class Records>
void NotebookMerge<Records>::both_changed(Handle cell_id, Handle base_cell) {
  Ref incoming_cell_diff = changed(base_cell, dict_item(incoming_cells_, cell_id));
  drop_outputs(incoming_cell_diff);
  if (!host::is_true(incoming_cell_diff.get())) return;
  Ref current_comp_name = records_.name(dict_item(current_cells_, cell_id));
  Ref incoming_comp_name = records_.name(dict_item(incoming_cells_, cell_id));
  bool current_named = host::is_true(current_comp_name.get());
  bool incoming_named = host::is_true(incoming_comp_name.get());
  bool source_changed = contains(incoming_cell_diff, host::key<"source">());

  Ref canvas_diff;
  if (contains(incoming_cell_diff, host::key<"metadata">())) {
    Ref metadata_diff = host::get_item(incoming_cell_diff, host::key<"metadata">());
    if (contains(metadata_diff, host::key<"canvas">()))
      canvas_diff = host::get_item(metadata_diff, host::key<"canvas">());
  }
  if (canvas_diff) {
    both_changed_canvas(cell_id, canvas_diff, source_changed, current_named, incoming_named);
  } else if (current_named != incoming_named) {
    duplicate(cell_id, false);
  } else {
    merge_source(cell_id);
  }
}

// Both sides changed the cell, incoming its canvas data among other things.
template <class Records>
void NotebookMerge<Records>::both_changed_canvas(Handle cell_id, Handle canvas_diff,
                                                 bool source_changed, bool current_named,
                                                 bool incoming_named) {
  Ref changed_keys = host::check(PySet_New(canvas_diff.get()));
  if (compares(changed_keys, header_colour_only_, Py_EQ)) {
    if (source_changed) merge_source(cell_id);
  } else if (compares(changed_keys, comments_and_colour_, Py_LE)) {
    take_comments(cell_id, canvas_diff);
    if (source_changed) merge_source(cell_id);
  } else if (!current_named && !incoming_named) {
    merge_source(cell_id);
  } else {
    duplicate(cell_id, current_named && incoming_named);
  }
}

// Named cells keep only links to named cells of the merge, as {"id": ...}.
template <class Records>
void NotebookMerge<Records>::prune_parents() {
  std::vector<int> comp_ids;
  Ref comp_id_set = host::check(PySet_New(nullptr));
  for (int entry : merged_cells_.order()) {
    Ref name = records_.name(merged_cells_.cell(entry));
    if (!host::is_true(name.get())) continue;
    comp_ids.push_back(entry);
    host::check_status(PySet_Add(comp_id_set.get(), merged_cells_.key(entry)));
  }
  for (int entry : comp_ids) {
    Ref cell = Ref::borrow(merged_cells_.cell(entry));
    Ref parents = records_.parents(cell);
    Ref new_parents = host::check(PyList_New(0));
    Ref iterator = host::check(PyObject_GetIter(parents.get()));
    while (Ref parent = Ref::steal(PyIter_Next(iterator.get()))) {
      Ref parent_id = host::get_item(parent, host::key<"id">());
      int present = PySet_Contains(comp_id_set.get(), parent_id.get());
      if (present < 0) {
        // An unhashable id equals no key.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) host::throw_error_set();
        PyErr_Clear();
        present = 0;
      }
      if (present == 0) continue;
      Ref link = host::check(PyDict_New());
      host::check_status(PyDict_SetItem(link.get(), host::key<"id">(), parent_id.get()));
      host::check_status(PyList_Append(new_parents.get(), link.get()));
    }
    if (PyErr_Occurred()) host::throw_error_set();
    records_.set_parents(cell, new_parents);
  }
}

template class NotebookMerge<MemberRecords>;
template class NotebookMerge<DirectRecords>;

}  // namespace vornik::nbweave
