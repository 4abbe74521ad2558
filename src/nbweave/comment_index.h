// Finding an incoming comment among a cell's comments in constant time, with exactly the answer
// of `comment in cell.comments`.
#pragma once

#include <cstddef>
#include <vector>

#include "host/ref.h"

namespace vornik::nbweave {

class CommentIndex {
 public:
  // `hashed`: the cell's comments are read and added by the original wrapper's members, so that
  // its list only grows at the end. Otherwise every question goes to the list itself.
  explicit CommentIndex(bool hashed) : hashed_(hashed) {}

  // `comment in present`, where `present` is the cell's comment list as just read.
  bool contains(host::Handle present, host::Handle comment);

 private:
  bool contains_hashed(host::Handle comment, std::size_t hash) const;
  void insert(std::size_t hash, std::size_t item);
  // Takes in the items added to the list since the last question; false when one of them cannot
  // be hashed consistently with its equality.
  bool catch_up(host::Handle present);

  bool hashed_;
  host::Ref list_;  // the list indexed, held so that its address names no other list
  Py_ssize_t indexed_ = 0;
  std::vector<host::Ref> items_;
  // Open addressing over a power-of-two table at most half full: the hash and the index into
  // items_ plus one (0: a free slot).
  struct Slot {
    std::size_t hash = 0;
    std::size_t item = 0;
  };
  std::vector<Slot> slots_;
};

}  // namespace vornik::nbweave
