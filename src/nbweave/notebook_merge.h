// The three-way merge of one notebook file, cell by cell, written once against either way of
// working with the cell records (records.h); merge_files.cc chooses the way per call.
#pragma once

#include "host/function.h"
#include "host/ref.h"
#include "nbweave/cell_sources.h"
#include "nbweave/merged_cells.h"
#include "nbweave/records.h"

namespace vornik::nbweave {

template <class Records>
class NotebookMerge {
 public:
  // `others_original`: see DirectRecords.
  NotebookMerge(host::Function& function, PyObject* const* args, bool others_original);
  // Reads the three files, merges, and writes the result over the current version's file.
  void run();

 private:
  host::Ref cell_map(host::Handle document, Version version, MergedCells* merged);
  host::Ref write_merged();
  void write_behind(host::Ref merged);
  void release_versions();

  // The name map (comp_names): a name read truthy, or null.
  host::Ref truthy_name(host::Handle record);
  void rebuild_names();
  void renamed(int entry);
  void fresh_names();

  host::Ref changed(host::Handle record0, host::Handle record1);
  void settle();
  void steps();
  void mark(int entry);
  int take_incoming(host::Handle cell_id);
  void merge_source(host::Handle cell_id);
  void duplicate(host::Handle cell_id, bool with_marks);
  void take_comments(host::Handle cell_id, host::Handle canvas_diff);

  void cells_current_removed();
  void cells_incoming_added();
  void cells_both_kept();
  void incoming_removed_unchanged(host::Handle cell_id);
  void incoming_may_have_changed(host::Handle cell_id, host::Handle base_cell);
  void both_changed(host::Handle cell_id, host::Handle base_cell);
  void both_changed_canvas(host::Handle cell_id, host::Handle canvas_diff, bool source_changed,
                           bool current_named, bool incoming_named);
  void prune_parents();

  host::Function& function_;
  PyObject* base_file_path_;
  PyObject* current_file_path_;
  PyObject* incoming_file_path_;
  Records records_;
  CellSources sources_;

  host::Ref current_;
  host::Ref base_;
  host::Ref incoming_;
  host::Ref current_cells_;
  host::Ref base_cells_;
  host::Ref incoming_cells_;
  MergedCells merged_cells_;
  // Set once pass C begins: from then on the name map follows every change of a name, where
  // the records tell all such changes.
  bool names_followed_ = false;
  host::Ref git_class_;
  host::Ref g_;
  host::Ref header_colour_only_;
  host::Ref comments_and_colour_;
};

}  // namespace vornik::nbweave
