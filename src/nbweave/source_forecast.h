// What the documents tell of the merge before it runs: whether pass C will merge the sources
// of some cell, so that the git that the first source merge needs may start at once.
#pragma once

#include "host/ref.h"

namespace vornik::nbweave {

// Read off the cells' objects as the documents hold them, by cell id: true for a cell of all
// three versions whose source both sides changed, whose canvas data incoming left as they
// were, and which both sides name or both leave unnamed (see NotebookMerge::both_changed).
// Any other shape of cell says nothing; nothing here runs host code.
bool source_merge_certain(host::Handle current_cells, host::Handle base_cells,
                          host::Handle incoming_cells);

}  // namespace vornik::nbweave
