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

MemberRecords::MemberRecords(host::Function& function, bool /*others_original*/)
    : function_(function), type_keyword_(host::intern_tuple({"file_type"})) {}

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
  for (const char* member : {"link_id", "cell_id"}) {
    host::setattr(record, member, current::uuid_text(function_));
  }
}

Ref MemberRecords::git_class() {
  return current::git_class(function_);
}

Ref MemberRecords::merge_source() {
  return current::merge_source(function_);
}

bool MemberRecords::command_error_original() {
  return current::command_error_original(function_);
}

namespace current {

Ref uuid_text(host::Function& function) {
  Ref fresh = host::call(host::getattr(function.global("uuid"), "uuid4"));
  return host::check(PyObject_Str(fresh.get()));
}

Ref git_class(host::Function& function) {
  return host::getattr(host::getattr(function.global("git"), "cmd"), "Git");
}

Ref merge_source(host::Function& function) {
  return function.global("_merge_source");
}

bool command_error_original(host::Function& function) {
  try {
    return engine::stock_command_error(host::getattr(function.global("git"), "GitCommandError"));
  } catch (const host::ErrorAlreadySet&) {
    if (engine::drop_ordinary_error()) return false;
    throw;
  }
}

}  // namespace current

}  // namespace vornik::nbweave
