// Equality and the compact structural difference of two JSON values, both walked with an
// explicit stack so that any nesting the reader accepts is compared without using the C stack.
#pragma once

#include "host/ref.h"

namespace vornik::structdiff {

// The host's `a == b` for JSON-shaped values: dicts compare by key set and values, lists
// element by element, numbers by value (1 == 1.0 == True), identity implies equality.
// Values of other types are compared by the host.
bool values_equal(PyObject* a, PyObject* b);

struct DiffMarkers {
  PyObject* delete_marker;   // key of the entry listing the keys only the first dict has
  PyObject* replace_marker;  // key wrapping a dict that replaces the first value whole
};

// The difference from `a` to `b` in compact form:
// - equal values give {};
// - two dicts give one entry per differing key: the difference of the two values for a key in
//   both, the new value for a key only in `b`, and the keys only in `a` as a list under the
//   delete marker; two dicts with no key in common give {replace: b};
// - two unequal lists give `b` itself;
// - any other unequal pair gives `b`, wrapped as {replace: b} when `b` is a dict.
// One pass over both values.
host::Ref structural_diff(PyObject* a, PyObject* b, const DiffMarkers& markers);

}  // namespace vornik::structdiff
