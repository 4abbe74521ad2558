// vornik_git.drivers.nbweave: the three-way merge of notebook files. The load sequence binds,
// in order: json, logging, os, tempfile, uuid, Any, Dict, List, Optional, git, jsondiff, Cell,
// _merge_source, MergeCell, _cell_changed, merge_files.
#include "host/module.h"
#include "host/function.h"
#include "nbweave/collaborators.h"
#include "nbweave/debug_log.h"
#include "nbweave/merge_engine.h"
#include "nbweave/nbweave.h"

namespace {

namespace nbweave = vornik::nbweave;

void load(const vornik::host::ModuleBody& body) {
  body.import("json");
  body.import("logging");
  body.import("os");
  body.import("tempfile");
  body.import("uuid");
  body.import_from("typing", {"Any", "Dict", "List", "Optional"});
  body.import("git");
  body.import("jsondiff");
  body.import_from("common", {"Cell"}, 1);

  nbweave::engine::remember_git(body.get("git"));
  body.define(nbweave::kMergeSourceSpec, {Py_None, Py_None});
  nbweave::loaded().merge_cell = body.define_class(nbweave::kMergeCellClass, {body.get("Cell")});
  body.define(nbweave::kCellChangedSpec);
  body.define(nbweave::kMergeFilesSpec);
  nbweave::record_logging(body.get("logging"));
  nbweave::record_load(body.module());
}

}  // namespace

VORNIK_MODULE(nbweave, "vornik_git.drivers.nbweave", .load = load)
