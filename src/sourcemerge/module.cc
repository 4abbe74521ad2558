// vornik_git._engine: the source merge's one home in the process. It exports the table through
// which the merge module reaches the source merge (sourcemerge/entrance.h), tells whether this
// build merges cell sources in process, and offers the engine itself to the tests that hold it
// to `git merge-file`, without adding names to the merge module.
#include <memory>
#include <optional>
#include <utility>

#include "host/function.h"
#include "host/module.h"
#include "host/ref.h"
#include "sourcemerge/engine.h"
#include "sourcemerge/entrance.h"
#include "sourcemerge/loaded_gitpython.h"
#include "sourcemerge/through_git.h"

namespace {

using vornik::host::boundary;
using vornik::host::boundary_status;
using vornik::host::Ref;
namespace sourcemerge = vornik::sourcemerge;
namespace engine = vornik::sourcemerge::engine;
namespace loaded = vornik::sourcemerge::loaded;

// Keyword names as the host's argument parser takes them (not const before 3.13).
char kSides[] = "sides";
char kCurrentName[] = "current_name";
char kIncomingName[] = "incoming_name";
char kAnyGit[] = "any_git";

// The table's entries: the room's functions, their failures turned into the error indicator.
template <class Test>
int answer(Test&& test) noexcept {
  int result = -1;
  if (boundary_status([&] { result = test() ? 1 : 0; }) != 0) return -1;
  return result;
}

PyObject* merge_source(PyObject* globals, PyObject* const* args) {
  return boundary([&] { return sourcemerge::merge_through_git(globals, args); });
}

int stock_git(PyObject* g) {
  return answer([&] { return loaded::is_git_instance(g); });
}

int stock_git_class(PyObject* git_class) {
  return answer([&] { return loaded::is_git_class(git_class); });
}

int stock_command_error(PyObject* error_class) {
  return answer([&] { return loaded::is_command_error(error_class); });
}

int start_session(PyObject* globals, PyObject* executable, sourcemerge::Releases releases, int held,
                  engine::Opening** opening) {
  *opening = nullptr;
  return boundary_status([&] {
    engine::Opening started = engine::Session::start(globals, executable, releases, held != 0);
    *opening = new engine::Opening(std::move(started));
  });
}

int finish_session(engine::Opening* opening, engine::Session** session) {
  const std::unique_ptr<engine::Opening> finishing(opening);
  *session = nullptr;
  return boundary_status([&] {
    if (auto finished = finishing->finish()) *session = new engine::Session(std::move(*finished));
  });
}

void release_opening(engine::Opening* opening, int go) {
  opening->release(go != 0);
}

int session_ahead(const engine::Opening* opening, engine::Session** session) {
  *session = nullptr;
  return boundary_status([&] {
    if (auto ahead = opening->ahead()) *session = new engine::Session(std::move(*ahead));
  });
}

void drop_opening(engine::Opening* opening) {
  delete opening;
}

void close_session(engine::Session* session) {
  delete session;
}

sourcemerge::Style session_style(const engine::Session* session) {
  return session->style();
}

int merge_cell(const engine::Session* session, PyObject* const* sides_and_labels, PyObject** lines,
               int* conflicted) {
  *lines = nullptr;
  *conflicted = 0;
  return boundary_status([&] {
    engine::Session::Cell cell =
        session->merge(sides_and_labels[0], sides_and_labels[1], sides_and_labels[2],
                       sides_and_labels[3], sides_and_labels[4]);
    *conflicted = cell.conflicted ? 1 : 0;
    *lines = cell.lines.release();
  });
}

// Not const: a capsule holds a plain pointer.
sourcemerge::Table kTable = {
    .size = sizeof(sourcemerge::Table),
    .merge_source = merge_source,
    .stock_git = stock_git,
    .stock_git_class = stock_git_class,
    .stock_command_error = stock_command_error,
    .start_session = start_session,
    .release_opening = release_opening,
    .session_ahead = session_ahead,
    .finish_session = finish_session,
    .drop_opening = drop_opening,
    .close_session = close_session,
    .session_style = session_style,
    .merge_cell = merge_cell,
};

// The session a merge would open now, with GitPython's command class and program; with
// `any_git`, also for a git release that the merge module keeps on the process path, so that
// the tests can compare it with the engine.
std::optional<engine::Session> open_session(PyObject* module, bool any_git) {
  PyObject* globals = PyModule_GetDict(module);
  Ref git_class = vornik::host::getattr(
      vornik::host::getattr(vornik::host::lookup_global(globals, vornik::host::key<"git">()),
                            "cmd"),
      "Git");
  Ref g = vornik::host::call(git_class);
  if (!loaded::is_git_class(git_class) || !loaded::is_git_instance(g)) return std::nullopt;
  return engine::Session::open(globals, vornik::host::getattr(g, "GIT_PYTHON_GIT_EXECUTABLE"),
                               any_git ? engine::Releases::kAny : engine::Releases::kProven);
}

PyObject* conflict_style(PyObject* module, PyObject* args, PyObject* kwargs) {
  return boundary([&] {
    char* keywords[] = {kAnyGit, nullptr};
    int any_git = 0;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "|$p:conflict_style", keywords, &any_git) == 0) {
      vornik::host::throw_error_set();
    }
    auto session = open_session(module, any_git != 0);
    if (!session) return Ref::borrow(Py_None);
    return vornik::host::make_str(engine::style_name(session->style()));
  });
}

// merge_sources(sides, current_name, incoming_name, *, any_git=False) -> (style, results): one
// session, as one merge opens, and per (current, base, incoming) in `sides` the pair (lines,
// conflicted), or None where the cell takes `_merge_source`. (None, None) when the whole merge
// would.
PyObject* merge_sources(PyObject* module, PyObject* args, PyObject* kwargs) {
  return boundary([&] {
    char* keywords[] = {kSides, kCurrentName, kIncomingName, kAnyGit, nullptr};
    PyObject* sides_arg = nullptr;
    PyObject* current_name = nullptr;
    PyObject* incoming_name = nullptr;
    int any_git = 0;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$p:merge_sources", keywords, &sides_arg,
                                    &current_name, &incoming_name, &any_git) == 0) {
      vornik::host::throw_error_set();
    }
    auto session = open_session(module, any_git != 0);
    if (!session) return vornik::host::check(PyTuple_Pack(2, Py_None, Py_None));
    Ref results = vornik::host::check(PyList_New(0));
    Ref iterator = vornik::host::check(PyObject_GetIter(sides_arg));
    while (Ref sides = Ref::steal(PyIter_Next(iterator.get()))) {
      Ref current = vornik::host::check(PySequence_GetItem(sides.get(), 0));
      Ref base = vornik::host::check(PySequence_GetItem(sides.get(), 1));
      Ref incoming = vornik::host::check(PySequence_GetItem(sides.get(), 2));
      engine::Session::Cell cell =
          session->merge(current, base, incoming, current_name, incoming_name);
      Ref result = cell.lines ? vornik::host::check(Py_BuildValue(
                                    "(OO)", cell.lines.get(), cell.conflicted ? Py_True : Py_False))
                              : Ref::borrow(Py_None);
      vornik::host::check_status(PyList_Append(results.get(), result.get()));
    }
    if (PyErr_Occurred() != nullptr) vornik::host::throw_error_set();
    Ref style = vornik::host::make_str(engine::style_name(session->style()));
    return vornik::host::check(PyTuple_Pack(2, style.get(), results.get()));
  });
}

PyMethodDef engine_methods[] = {
    {"conflict_style", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(conflict_style)),
     METH_VARARGS | METH_KEYWORDS,
     "conflict_style(*, any_git=False)\n\nThe conflict style the next merge's source merges "
     "take in process: 'merge', 'diff3' or 'zdiff3'; None when they take `git merge-file` "
     "processes (a build without the library, an unchecked library or git release, git not "
     "found, or a style git would refuse). With any_git, what it would be if the git found were "
     "a checked release."},
    {"merge_sources", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(merge_sources)),
     METH_VARARGS | METH_KEYWORDS,
     "merge_sources(sides, current_name, incoming_name, *, any_git=False) -> (style, "
     "[(lines, conflicted) or None, ...]); (None, None) when no merge would take the engine "
     "now. any_git as for conflict_style()."},
    {nullptr, nullptr, 0, nullptr},
};

void load(const vornik::host::ModuleBody& body) {
  body.import("os");
  body.import("tempfile");
  body.import("git");
  loaded::remember(body.get("git"));
  Ref version = Ref::borrow(Py_None);
  if (auto numbers = engine::library_version()) {
    version =
        vornik::host::check(Py_BuildValue("(iii)", (*numbers)[0], (*numbers)[1], (*numbers)[2]));
  }
  body.bind("libgit2", version);
  body.bind("usable", engine::usable() ? Py_True : Py_False);
  Ref table = vornik::host::check(PyCapsule_New(&kTable, sourcemerge::kTableName, nullptr));
  body.bind(sourcemerge::kTableAttribute, table);
}

}  // namespace

VORNIK_MODULE(_engine, "vornik_git._engine",
              .doc = "The in-process source merge of the merge driver (private).", .load = load,
              .methods = engine_methods)
