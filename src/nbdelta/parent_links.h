// The parent links of a cell present in both versions: which parent ids were added, which were
// removed and which were kept, as new {"id", "name"} mappings.
#pragma once

#include <utility>
#include <vector>

#include "host/ref.h"

namespace vornik::nbdelta {

// `{parent["id"]: parent["name"] for parent in parents}`: the parent ids in list order, a
// repeated id keeping its first place and its last name. A cell has a handful of parents whose
// ids are texts; those are kept in a short list and compared as texts, which is what the
// host's dict would do with them, without hashing them or building a dict per cell. Any other
// id, or a long list, takes a dict.
class ParentNames {
 public:
  explicit ParentNames(host::Handle parents);

  // New links, in the order of `names`, for its ids that `other` holds (or lacks), with the
  // names from `names`.
  friend host::Ref links(ParentNames& names, ParentNames& other, bool held_by_other);

 private:
  void add(host::Ref id, host::Ref name);
  bool holds(PyObject* id) const;
  void use_dict();

  std::vector<std::pair<host::Ref, host::Ref>> entries_;
  host::Ref dict_;  // once set, the names live here and `entries_` is empty
};

host::Ref links(ParentNames& names, ParentNames& other, bool held_by_other);

}  // namespace vornik::nbdelta
