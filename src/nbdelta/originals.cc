#include "nbdelta/originals.h"

#include "host/unchanged.h"
#include "nbdelta/loaded.h"

namespace vornik::nbdelta {
namespace {

// Never freed, like what it records.
host::LoadRecord& record() {
  static auto* const kept = new host::LoadRecord;  // NOLINT(cppcoreguidelines-owning-memory)
  return *kept;
}

}  // namespace

void remember_originals(host::Handle module) {
  const Loaded& bound = loaded();
  host::LoadRecord& kept = record();
  kept.bind(module, "Cell", bound.cell);
  kept.bind(module, "DiffCell", bound.diff_cell);
  kept.bind(module, "_cell_modified", bound.cell_modified);
  kept.bind(module, "DiffParameter", bound.diff_parameter);
  // Only the wrapper of the package's own common.py has the members whose effects diff_dicts
  // knows; DiffCell keeps it as its base.
  kept.keep_shipped_class(module, bound.cell, "common");
  kept.keep_class(bound.diff_cell);
  kept.keep_class(bound.diff_parameter);
}

bool collaborators_are_original() {
  return record().holds();
}

}  // namespace vornik::nbdelta
