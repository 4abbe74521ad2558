// The merge's result map: cell key to cell record in output order, with the insertion of an
// entry right after another one, and the map from cell names to the key of the last merged
// cell carrying each name, kept up to date per changed entry instead of rebuilt per cell.
#pragma once

#include <set>
#include <vector>

#include "host/ref.h"
#include "nbweave/records.h"

namespace vornik::nbweave {

class MergedCells {
 public:
  MergedCells();

  // The entry holding `key`, or -1. Keys are matched as dict keys are.
  int find(PyObject* key) const;
  PyObject* key(int entry) const { return entries_[entry].key.get(); }
  PyObject* cell(int entry) const { return entries_[entry].cell.get(); }
  Version version(int entry) const { return entries_[entry].version; }
  // The cell under `key`; KeyError when there is none.
  PyObject* cell_for(PyObject* key) const;

  // `map[key] = cell`: an existing entry keeps its place, a new one goes to the end.
  int assign(PyObject* key, PyObject* cell, Version version);
  // `del map[key]`.
  void remove(PyObject* key);
  // Rebuilds the order so that (key, cell) stands right after `anchor`, everything else in
  // place, with the outcome of building a dict from that list of pairs when `key` is present
  // already.
  int insert_after(int anchor, PyObject* key, PyObject* cell, Version version);

  // Lets go of every entry.
  void clear();

  // Entries in map order.
  std::vector<int> order() const;
  Py_ssize_t size() const { return PyDict_GET_SIZE(index_.get()); }

  // The name map: every truthy cell name to the key of the last entry, in map order, whose
  // cell carries it. The caller reads the names: `clear_names` empties the map, `name_entry`
  // gives one entry its name as just read (null for a falsy one), in place of the one it had.
  void clear_names();
  void name_entry(int entry, host::Ref name);
  // The entry that the name map gives for `name`, or -1.
  int entry_named(PyObject* name) const;

 private:
  struct Entry {
    host::Ref key;
    host::Ref cell;
    double rank = 0;
    int previous = -1;
    int next = -1;
    host::Ref name;  // the truthy name last given
    Version version = Version::kCurrent;
  };
  struct ByRank {
    const std::vector<Entry>* entries;
    bool operator()(int a, int b) const { return (*entries)[a].rank < (*entries)[b].rank; }
  };
  using NameSet = std::set<int, ByRank>;

  void link_after(int entry, int anchor);  // anchor -1: at the end
  void unlink(int entry);
  void forget_name(int entry);
  void add_name(int entry, host::Ref name);
  void renumber();

  std::vector<Entry> entries_;
  host::Ref index_;  // key -> entry number
  int head_ = -1;
  int tail_ = -1;
  host::Ref names_;  // name -> slot number
  std::vector<NameSet> slots_;
};

}  // namespace vornik::nbweave
