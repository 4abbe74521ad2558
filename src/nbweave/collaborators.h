// What the merge module's load sequence made and found, and the one question every merge asks
// at its entry: is each collaborator it would look up still that object, unchanged?
#pragma once

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
  // Every name the merge looks up, every object on the way to it, and the classes whose
  // members the merge would run: MergeCell with Cell (defined by the package's common.py),
  // GitPython's command class, uuid's UUID.
  host::LoadRecord* record = nullptr;
};

// Filled by the load sequence: `merge_cell` when the class is made (its initialiser resolves
// `super()` from it), the rest by record_load.
Loaded& loaded();

// Called at the end of the load sequence, when `module` binds all its names.
void record_load(host::Handle module);

// True when every collaborator of merge_files is the object the load sequence bound and none
// of their classes changed since: the merge may then work on the documents themselves, with
// the effects the collaborators would have. Asked once per merge, at its entry.
bool collaborators_are_original();

}  // namespace vornik::nbweave
