// The two ways merge_files works with its cell records. MemberRecords builds a MergeCell per
// cell and goes through its members and the module's functions, looked up as the host would
// look them up; it serves whenever MergeCell, Cell or `_cell_changed` was replaced or changed.
// DirectRecords holds the cell objects themselves and has, step for step, the effects the
// original members would have, without a call into host code. The merge (notebook_merge.h) is
// written once against either.
#pragma once

#include <cstdint>

#include "host/function.h"
#include "host/ref.h"

namespace vornik::nbweave {

// The version a record was read from, as its MergeCell's tag.
enum class Version : std::uint8_t { kBase, kCurrent, kIncoming };

const char* version_tag(Version version);  // "base", "current", "incoming"

class MemberRecords {
 public:
  static constexpr bool kCommentsOnlyGrow = false;

  MemberRecords(host::Function& function, bool others_original);
  // Names may change through any member: the name map is rebuilt whenever it is read.
  static bool tracks_names() { return false; }
  static bool defers_source_merges() { return false; }
  static bool changes_invisibly() { return false; }

  // `MergeCell(data, file_type=tag)`, or with the tag by position.
  host::Ref make(host::Handle data, Version version, bool by_keyword);
  static host::Ref data(host::Handle record) { return host::getattr(record, "data"); }
  static host::Ref name(host::Handle record) { return host::getattr(record, "name"); }
  static void set_name(host::Handle record, host::Handle name) {
    host::setattr(record, "name", name);
  }
  static host::Ref source(host::Handle record) { return host::getattr(record, "source"); }
  static void set_source(host::Handle record, host::Handle lines) {
    host::setattr(record, "source", lines);
  }
  static host::Ref parents(host::Handle record) { return host::getattr(record, "parents"); }
  static void set_parents(host::Handle record, host::Handle parents) {
    host::setattr(record, "parents", parents);
  }
  static host::Ref comments(host::Handle record) { return host::getattr(record, "comments"); }
  static void add_comment(host::Handle record, host::Handle comment) {
    host::call(host::getattr(record, "add_comment"), comment);
  }
  // `record.add_conflict_mark()`
  static void mark(host::Handle record, Version version);
  // `_cell_changed(record0, record1)`
  host::Ref changed(host::Handle record0, host::Handle record1);
  // A duplicate's new identities: `link_id`, then `cell_id`, each the text of a fresh
  // `uuid.uuid4()`.
  void identify(host::Handle record);
  static host::Ref link_id(host::Handle record) { return host::getattr(record, "link_id"); }
  // `git.cmd.Git`
  host::Ref git_class();
  // The function that merges a source where the engine does not: `_merge_source` as found now.
  host::Ref merge_source();
  // Whether `git.GitCommandError`, looked up now, is GitPython's own.
  bool command_error_original();

 private:
  host::Function& function_;
  host::Ref merge_cell_;
  host::Ref cell_changed_;
  host::Ref type_keyword_;
};

class DirectRecords {
 public:
  // A cell's comments change only by the merge's appends.
  static constexpr bool kCommentsOnlyGrow = true;

  // `others_original`: the module's other collaborators (`_merge_source`, `git`, `uuid`,
  // `logging`, `jsondiff`) are the ones made at load too; otherwise each is looked up at its use.
  DirectRecords(host::Function& function, bool others_original)
      : function_(function), others_original_(others_original) {}
  // Names change only through the merge's own steps: the name map follows each change.
  static bool tracks_names() { return true; }
  // With the original collaborators, steps other than these have no visible effect: the change
  // test while its debug record is proven silent; not the uuid draws of a duplicate, nor a
  // source merge through `_merge_source`, nor the write. Source merges may then wait.
  bool defers_source_merges() const { return others_original_; }
  bool changes_invisibly() const;

  static host::Ref make(host::Handle data, Version version, bool by_keyword);
  static host::Ref data(host::Handle record) { return record.new_ref(); }
  static host::Ref name(host::Handle record);
  static void set_name(host::Handle record, host::Handle name);
  static host::Ref source(host::Handle record);
  static void set_source(host::Handle record, host::Handle lines);
  static host::Ref parents(host::Handle record);
  static void set_parents(host::Handle record, host::Handle parents);
  static host::Ref comments(host::Handle record);
  static void add_comment(host::Handle record, host::Handle comment);
  static void mark(host::Handle record, Version version);
  host::Ref changed(host::Handle record0, host::Handle record1) const;
  void identify(host::Handle record) const;
  static host::Ref link_id(host::Handle record);
  host::Ref git_class() const;
  host::Ref merge_source() const;
  bool command_error_original() const;

 private:
  host::Function& function_;
  bool others_original_;
};

// What the two share with MergeCell's own members and `_cell_changed`.

// `name.startswith(prefix)`, exactly as the host would evaluate it for any kind of name.
bool starts_with(host::Handle name, PyObject* prefix);

// The name add_conflict_mark gives a cell whose truthy name is `name`, for the mark `prefix`
// ("<<< " or ">>> "); null when the name carries that mark already.
host::Ref marked_name(host::Handle name, PyObject* prefix);

// `link.pop("name", None)` for every parent link of both cells, first cell's links first.
void drop_parent_names(host::Handle first, host::Handle second);

// The structural difference of two cells' objects without its "execution_count" entry.
host::Ref cell_difference(host::Handle data0, host::Handle data1, host::Handle delete_marker,
                          host::Handle replace_marker);

// `_cell_changed`'s steps after the parent names are dropped: the difference of the two cells'
// objects with `jsondiff.symbols` as found now, written through `logging.debug` as found now.
host::Ref logged_difference(host::Function& function, host::Handle data0, host::Handle data1);

// The collaborators of the merge as the host finds them now, in its module's namespace.
namespace current {
host::Ref uuid_text(host::Function& function);  // `str(uuid.uuid4())`
host::Ref git_class(host::Function& function);  // `git.cmd.Git`
host::Ref merge_source(host::Function& function);
// Whether `git.GitCommandError` is GitPython's own.
bool command_error_original(host::Function& function);
}  // namespace current

}  // namespace vornik::nbweave
