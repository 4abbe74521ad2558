// The source merge as other modules reach it: through the table of `vornik_git._engine`.
#include "sourcemerge/entrance.h"

#include <utility>

namespace vornik::sourcemerge::entrance {
namespace {

using host::Handle;
using host::Ref;

// Set once at connect(); the table lives in the room module, which stays loaded.
const Table* g_table = nullptr;

const Table& table() {
  if (g_table == nullptr) host::raise(PyExc_SystemError, "the source merge is not connected");
  return *g_table;
}

bool answer(int status) {
  if (status < 0) host::throw_error_set();
  return status != 0;
}

}  // namespace

void connect() {
  if (g_table != nullptr) return;
  Ref room = host::import(kRoomModule);
  Ref capsule = host::check(PyObject_GetAttr(room.get(), host::intern(kTableAttribute)));
  const auto* found = static_cast<const Table*>(PyCapsule_GetPointer(capsule.get(), kTableName));
  if (found == nullptr) host::throw_error_set();
  if (found->size != sizeof(Table)) {
    host::raise_format(PyExc_ImportError, "%s is of another build than this module", kRoomModule);
  }
  g_table = found;
  // Held for the life of the process, like the table it exports.
  (void)room.release();
}

Ref merge_source(Handle globals, PyObject* const* args) {
  return host::check(table().merge_source(globals, args));
}

bool stock_git(Handle g) {
  return answer(table().stock_git(g));
}

bool stock_git_class(Handle git_class) {
  return answer(table().stock_git_class(git_class));
}

bool stock_command_error(Handle error_class) {
  return answer(table().stock_command_error(error_class));
}

std::optional<Session> Session::open(Handle globals, Handle executable, Releases releases) {
  return start(globals, executable, releases).finish();
}

Session::Opening Session::start(Handle globals, Handle executable, Releases releases, bool held) {
  engine::Opening* opening = nullptr;
  if (table().start_session(globals, executable, releases, held ? 1 : 0, &opening) < 0) {
    host::throw_error_set();
  }
  return Opening(opening);
}

void Session::Opening::Drop::operator()(engine::Opening* opening) const noexcept {
  g_table->drop_opening(opening);
}

void Session::Opening::release(bool go) {
  if (opening_) g_table->release_opening(opening_.get(), go ? 1 : 0);
}

std::optional<Session> Session::Opening::ahead() const {
  if (!opening_) return std::nullopt;
  engine::Session* session = nullptr;
  if (g_table->session_ahead(opening_.get(), &session) < 0) host::throw_error_set();
  if (session == nullptr) return std::nullopt;
  return Session(session);
}

std::optional<Session> Session::Opening::finish() {
  if (!opening_) return std::nullopt;
  engine::Session* session = nullptr;
  if (g_table->finish_session(opening_.release(), &session) < 0) {
    host::throw_error_set();
  }
  if (session == nullptr) return std::nullopt;
  return Session(session);
}

void Session::Close::operator()(engine::Session* session) const noexcept {
  g_table->close_session(session);
}

Style Session::style() const {
  return g_table->session_style(session_.get());
}

Session::Cell Session::merge(Handle current, Handle base, Handle incoming, Handle current_name,
                             Handle incoming_name) const {
  PyObject* sides_and_labels[] = {current, base, incoming, current_name, incoming_name};
  PyObject* lines = nullptr;
  int conflicted = 0;
  if (g_table->merge_cell(session_.get(), sides_and_labels, &lines, &conflicted) < 0) {
    host::throw_error_set();
  }
  return {Ref::steal(lines), conflicted != 0};
}

}  // namespace vornik::sourcemerge::entrance
