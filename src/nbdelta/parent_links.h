// The parent links of a cell present in both versions: which parent ids were added, which were
// removed and which were kept, as new {"id", "name"} mappings.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "host/ref.h"

namespace vornik::nbdelta {

// `{parent["id"]: parent["name"] for parent in parents}`: the parent ids in list order, a
// repeated id keeping its first place and its last name. A cell has a handful of parents whose
// ids are texts; those are kept in place and compared as texts, which is what the host's dict
// would do with them, without hashing them or building a dict per cell. Any other id, or a long
// list, takes a dict.
class ParentNames {
 public:
  explicit ParentNames(host::Handle parents);

 private:
  friend struct ParentLinks;
  static constexpr std::size_t kInPlace = 8;

  void add(host::Ref id, host::Ref name);
  bool holds(PyObject* id) const;
  void use_dict();

  std::array<std::pair<host::Ref, host::Ref>, kInPlace> entries_;
  std::size_t count_ = 0;
  host::Ref dict_;  // once set, the names live here and `entries_` is unused
};

// New lists of new links: `added` for the current ids that the previous version lacks, with
// their current names; `removed` for the previous ids that the current version lacks, with their
// previous names; `kept` for the current ids that both hold, with their current names. Each list
// is in the order of the version it is taken from.
struct ParentLinks {
  ParentLinks(ParentNames& current, ParentNames& previous);

  host::Ref added;
  host::Ref removed;
  host::Ref kept;
};

}  // namespace vornik::nbdelta
