// What the merge module's load sequence made and found, and the one question every merge asks
// at its entry: is each collaborator it would look up still that object, unchanged?
#pragma once

#include <cstdint>

#include "host/ref.h"
#include "host/unchanged.h"

namespace vornik::nbweave {

// The objects as loaded. Kept for the life of the process, never freed: merges may run until
// the host shuts down.
struct Loaded {
  host::Ref merge_cell;      // the class MergeCell
  host::Ref merge_source;    // _merge_source
  host::Ref delete_marker;   // jsondiff.symbols.delete
  host::Ref replace_marker;  // jsondiff.symbols.replace
  host::Ref uuid4;           // uuid.uuid4
  host::Ref logging_debug;   // logging.debug
  host::Ref git_class;       // git.cmd.Git
  // The records: MergeCell with Cell (defined by the package's common.py), `_cell_changed`.
  host::LoadRecord* records = nullptr;
  // Every other name the merge looks up, the objects on the way to it, and GitPython's
  // command class.
  host::LoadRecord* others = nullptr;
};

// Filled by the load sequence: `merge_cell` when the class is made (its initialiser resolves
// `super()` from it), the rest by record_load.
Loaded& loaded();

// Called at the end of the load sequence, when `module` binds all its names.
void record_load(host::Handle module);

enum class Collaborators : std::uint8_t {
  // Every collaborator of merge_files is the object the load sequence bound and none of their
  // classes changed since: the merge may work on the documents themselves, with the effects
  // the collaborators would have.
  kOriginal,
  // MergeCell (with Cell) and `_cell_changed` are; some other collaborator is not.
  kRecordsOriginal,
  kReplaced,
};

// Asked once per merge, at its entry.
Collaborators check_collaborators();

}  // namespace vornik::nbweave
