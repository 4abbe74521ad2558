// vornik_git.drivers.nbdelta: the diff graph of two notebook versions, with its cell and
// parameter records. The load sequence binds, in order: difflib, Any, Dict, List, Cell,
// DiffCell, _cell_modified, DiffParameter, diff_dicts.
#include "host/module.h"
#include "nbdelta/definitions.h"
#include "nbdelta/loaded.h"
#include "nbdelta/originals.h"

namespace {

namespace nbdelta = vornik::nbdelta;

void load(const vornik::host::ModuleBody& body) {
  body.import("difflib");
  body.import_from("typing", {"Any", "Dict", "List"});
  body.import_from("common", {"Cell"}, 1);

  nbdelta::Loaded& kept = nbdelta::loaded();
  kept.cell = body.get("Cell");
  kept.diff_cell = body.define_class(nbdelta::kDiffCellClass, {kept.cell});
  kept.cell_modified = body.define(nbdelta::kCellModifiedSpec);
  kept.diff_parameter = body.define_class(nbdelta::kDiffParameterClass);
  body.define(nbdelta::kDiffDictsSpec);
  nbdelta::remember_originals(body.module());
}

}  // namespace

VORNIK_MODULE(nbdelta, "vornik_git.drivers.nbdelta", .load = load)
