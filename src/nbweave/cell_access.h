// Reading the members of cell records on the merge's hot paths. Records whose class still
// uses the stock cell wrapper's members are read natively, with exactly the results those
// members give; any other record goes through ordinary attribute access.
#pragma once

#include "host/ref.h"

namespace vornik::nbweave {

// Remembers the stock wrapper's members, when `cell_class` is the stock wrapper.
void remember_stock_cell(PyObject* cell_class);

// True when `function` is the stock wrapper's initialiser, which only keeps the cell given.
bool is_stock_cell_init(PyObject* function);

// True when `cell.comments` and `cell.add_comment` are the stock wrapper's, on a canvas that is a
// plain dict: reading the comments gives the canvas's list (or a fresh empty one), and adding a
// comment appends it to that list and does nothing else.
bool stock_comments(host::Handle cell);

host::Ref cell_data(host::Handle cell);     // `cell.data`
host::Ref cell_parents(host::Handle cell);  // `cell.parents`
host::Ref cell_name(host::Handle cell);     // `cell.name`

}  // namespace vornik::nbweave
