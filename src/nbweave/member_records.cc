// The merge's records as MergeCell objects, reached through their members and the module's
// functions as the host would reach them.
#include "nbweave/merge_engine.h"
#include "nbweave/records.h"

namespace vornik::nbweave {

using host::Handle;
using host::Ref;

const char* version_tag(Version version) {
  static constexpr const char* kTags[] = {"base", "current", "incoming"};
  return kTags[static_cast<int>(version)];
}

MemberRecords::MemberRecords(host::Function& function, bool names_follow)
    : function_(function),
      type_keyword_(host::intern_tuple({"file_type"})),
      names_follow_(names_follow) {}

Ref MemberRecords::make(Handle data, Version version, bool by_keyword) {
  // Looked up once per merge, at its first record.
  if (!merge_cell_) merge_cell_ = function_.global("MergeCell");
  PyObject* args[] = {nullptr, data.get(), host::intern(version_tag(version))};
  if (!by_keyword) {
    return host::check(PyObject_Vectorcall(merge_cell_.get(), args + 1,
                                           2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  return host::check(PyObject_Vectorcall(merge_cell_.get(), args + 1,
                                         1 | PY_VECTORCALL_ARGUMENTS_OFFSET, type_keyword_.get()));
}

void MemberRecords::mark(Handle record, Version /*version*/) {
  host::call(host::getattr(record, "add_conflict_mark"));
}

Ref MemberRecords::changed(Handle record0, Handle record1) {
  if (!cell_changed_) cell_changed_ = function_.global("_cell_changed");
  return host::call(cell_changed_, record0, record1);
}

void MemberRecords::identify(Handle record) {
  Ref uuid = function_.global("uuid");
  for (const char* member : {"link_id", "cell_id"}) {
    Ref fresh = host::call(host::getattr(uuid, "uuid4"));
    host::setattr(record, member, host::check(PyObject_Str(fresh.get())));
  }
}

Ref MemberRecords::git_class() {
  return host::getattr(host::getattr(function_.global("git"), "cmd"), "Git");
}

Ref MemberRecords::merge_source() {
  return function_.global("_merge_source");
}

bool MemberRecords::command_error_original() {
  try {
    return engine::stock_command_error(host::getattr(function_.global("git"), "GitCommandError"));
  } catch (const host::ErrorAlreadySet&) {
    if (engine::drop_ordinary_error()) return false;
    throw;
  }
}

}  // namespace vornik::nbweave
