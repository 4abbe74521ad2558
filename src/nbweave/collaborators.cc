#include "nbweave/collaborators.h"

#include <utility>

#include "nbweave/merge_engine.h"

namespace vornik::nbweave {
namespace {

using host::Handle;
using host::Ref;

// `owner.name` recorded as it is now; an owner that is no module (a package replaced by some
// other object at load) leaves the record refused.
Ref bind(host::LoadRecord& record, Handle owner, const char* name) {
  if (!owner || (!PyModule_Check(owner.get()) && !PyDict_Check(owner.get()))) {
    record.refuse();
    return {};
  }
  return record.bind_current(owner, name);
}

void record_records(Loaded& loaded, host::LoadRecord& record, Handle module) {
  Ref merge_cell = bind(record, module, "MergeCell");
  if (merge_cell.get() != loaded.merge_cell.get()) record.refuse();
  bind(record, module, "_cell_changed");
  Ref cell = bind(record, module, "Cell");
  if (!cell || !merge_cell || !PyType_Check(merge_cell.get())) {
    record.refuse();
    return;
  }
  record.keep_shipped_class(module, cell, "common");
  record.keep_class(merge_cell);
}

void record_others(Loaded& loaded, host::LoadRecord& record, Handle module) {
  loaded.merge_source = bind(record, module, "_merge_source");
  Ref git = bind(record, module, "git");
  Ref cmd = bind(record, git, "cmd");
  loaded.git_class = bind(record, cmd, "Git");
  bind(record, git, "GitCommandError");
  if (!loaded.git_class || !PyType_Check(loaded.git_class.get())) {
    record.refuse();
    return;
  }
  record.keep_class(loaded.git_class);

  Ref uuid = bind(record, module, "uuid");
  loaded.uuid4 = bind(record, uuid, "uuid4");
  Ref logging = bind(record, module, "logging");
  loaded.logging_debug = bind(record, logging, "debug");
  Ref jsondiff = bind(record, module, "jsondiff");
  Ref symbols = bind(record, jsondiff, "symbols");
  loaded.delete_marker = bind(record, symbols, "delete");
  loaded.replace_marker = bind(record, symbols, "replace");
  if (!loaded.merge_source || !loaded.uuid4 || !loaded.logging_debug || !loaded.delete_marker ||
      !loaded.replace_marker) {
    record.refuse();
  }
}

}  // namespace

Loaded& loaded() {
  static auto* const kept = new Loaded;  // NOLINT(cppcoreguidelines-owning-memory): for the process
  return *kept;
}

void record_load(Handle module) {
  Loaded& kept = loaded();
  for (auto [record, fill] :
       {std::pair{&kept.records, &record_records}, std::pair{&kept.others, &record_others}}) {
    *record = new host::LoadRecord;  // NOLINT(cppcoreguidelines-owning-memory): for the process
    try {
      fill(kept, **record, module);
    } catch (const host::ErrorAlreadySet&) {
      // Something found at load is not what the merge knows (a class not ready, say): merges
      // then go through the collaborators as they are.
      if (!engine::drop_ordinary_error()) throw;
      (*record)->refuse();
    }
  }
}

Collaborators check_collaborators() {
  const Loaded& kept = loaded();
  if (kept.records == nullptr || !kept.records->holds()) return Collaborators::kReplaced;
  return kept.others->holds() ? Collaborators::kOriginal : Collaborators::kRecordsOriginal;
}

}  // namespace vornik::nbweave
