#include "nbweave/cell_sources.h"

#include "nbweave/collaborators.h"

namespace vornik::nbweave {

using host::Handle;
using host::Ref;

void CellSources::start(Ref merge_source, Handle git_class, Handle g, bool defer) {
  merge_source_ = std::move(merge_source);
  current_label_ = host::check(PyNumber_Add(file_path_, host::key<"-current">()));
  incoming_label_ = host::check(PyNumber_Add(file_path_, host::key<"-incoming">()));
  label_keywords_ = host::intern_tuple({"current_name", "incoming_name"});
  if (merge_source_.get() != loaded().merge_source.get() || !engine::stock_git_class(git_class) ||
      !engine::stock_git(g)) {
    return;
  }
  Ref executable;
  try {
    executable = host::getattr(g, "GIT_PYTHON_GIT_EXECUTABLE");
  } catch (const host::ErrorAlreadySet&) {
    if (engine::drop_ordinary_error()) return;
    throw;
  }
  std::optional<engine::Session::Opening> opening;
  if (early_ && executable.get() == early_executable_.get()) {
    opening = std::move(early_);
    early_.reset();
  } else {
    forget_early();
    opening.emplace(engine::Session::start(function_.globals(), executable));
  }
  if (defer) {
    opening_ = std::move(opening);
  } else {
    engine_ = opening->finish();
  }
}

void CellSources::prepare_early(Handle git_class) {
  if (!engine::stock_git_class(git_class)) return;
  try {
    early_executable_ = host::getattr(git_class, "GIT_PYTHON_GIT_EXECUTABLE");
  } catch (const host::ErrorAlreadySet&) {
    if (engine::drop_ordinary_error()) return;
    throw;
  }
  early_.emplace(engine::Session::start(function_.globals(), early_executable_,
                                        engine::Releases::kProven, true));
}

void CellSources::release_early(bool go) {
  if (!go) {
    forget_early();
  } else if (early_) {
    early_->release(true);
  }
}

void CellSources::forget_early() {
  if (!early_) return;
  early_->release(false);
  dropped_.push_back(std::move(*early_));
  early_.reset();
}

void CellSources::finish_session() {
  auto opening = std::move(*opening_);
  opening_.reset();
  engine_ = opening.finish();
}

Ref CellSources::call_merge_source(Handle g, Handle current, Handle base, Handle incoming) {
  PyObject* args[] = {nullptr,
                      g.get(),
                      current.get(),
                      base.get(),
                      incoming.get(),
                      current_label_.get(),
                      incoming_label_.get()};
  return host::check(PyObject_Vectorcall(
      merge_source_.get(), args + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, label_keywords_.get()));
}

}  // namespace vornik::nbweave
