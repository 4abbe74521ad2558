#include "sourcemerge/loaded_gitpython.h"

#include <memory>
#include <utility>

#include "host/unchanged.h"
#include "sourcemerge/entrance.h"

namespace vornik::sourcemerge::loaded {
namespace {

using host::Handle;
using host::Ref;

// The members through which an instance of GitPython's command class starts `git merge-file`:
// the method made for an unknown name, the call that builds the command line, the process
// start, and the module function that opens the process. Other class attributes (the git
// program's name among them) are data the engine reads at each merge.
constexpr const char* kClassMembers[] = {"__init__",      "__getattr__", "__getattribute__",
                                         "_call_process", "execute",     "merge_file"};
constexpr const char* kModuleMembers[] = {"safer_popen", "Popen"};

// Kept for the life of the process, never destroyed (see host::LoadRecord).
struct LoadedGitPython {
  Ref git_class;
  Ref error_class;
  host::LoadRecord starts_git;  // the members above, each as found (or absent)
};

LoadedGitPython* g_loaded = nullptr;

}  // namespace

void remember(Handle git_module) {
  if (g_loaded != nullptr) return;
  try {
    Ref cmd = host::getattr(git_module, "cmd");
    Ref git_class = host::getattr(cmd, "Git");
    Ref error_class = host::getattr(git_module, "GitCommandError");
    if (!PyType_Check(git_class.get()) || !PyModule_Check(cmd.get())) return;
    auto loaded = std::make_unique<LoadedGitPython>();
    PyObject* class_namespace = reinterpret_cast<PyTypeObject*>(git_class.get())->tp_dict;
    for (const char* name : kClassMembers) loaded->starts_git.bind_current(class_namespace, name);
    for (const char* name : kModuleMembers) loaded->starts_git.bind_current(cmd, name);
    loaded->git_class = std::move(git_class);
    loaded->error_class = std::move(error_class);
    g_loaded = loaded.release();
  } catch (const host::ErrorAlreadySet&) {
    if (!entrance::drop_ordinary_error()) throw;
  }
}

bool is_git_instance(Handle g) {
  return g_loaded != nullptr &&
         Py_TYPE(g.get()) == reinterpret_cast<PyTypeObject*>(g_loaded->git_class.get()) &&
         g_loaded->starts_git.holds();
}

bool is_git_class(Handle git_class) {
  return g_loaded != nullptr && git_class.get() == g_loaded->git_class.get() &&
         g_loaded->starts_git.holds();
}

bool is_command_error(Handle error_class) {
  return g_loaded != nullptr && error_class.get() == g_loaded->error_class.get();
}

}  // namespace vornik::sourcemerge::loaded
