#include "nbweave/parameter_merge.h"

#include "host/items.h"

#include "nbweave/dict_keys.h"
#include "structdiff/structure.h"

namespace vornik::nbweave {
namespace {

using host::Handle;
using host::Ref;

// Name to parameter object, in list order; a repeated name keeps the later object at the
// place of the earlier one.
Ref parameters_by_name(Handle document) {
  Ref metadata = host::get_item(document, host::key<"metadata">());
  Ref canvas = host::get_item(metadata, host::key<"canvas">());
  Ref parameters = host::get_item(canvas, host::key<"parameters">());
  Ref by_name = host::check(PyDict_New());
  Ref iterator = host::check(PyObject_GetIter(parameters.get()));
  while (Ref parameter = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref name = host::get_item(parameter, host::key<"name">());
    host::check_status(PyDict_SetItem(by_name.get(), name.get(), parameter.get()));
  }
  if (PyErr_Occurred()) host::throw_error_set();
  return by_name;
}

// `map[key]` of one of the stage's own maps, which keeps the value alive.
PyObject* lookup(Handle map, Handle key) {
  return host::get_item(map, key).get();
}

bool contains(Handle map, Handle key) {
  return host::dict_contains(map, key);
}

class ParameterMerge {
 public:
  ParameterMerge(PyObject* current, PyObject* base, PyObject* incoming)
      : current_(parameters_by_name(current)),
        base_(parameters_by_name(base)),
        incoming_(parameters_by_name(incoming)),
        merged_(host::check(PyDict_Copy(current_.get()))) {}

  Ref run() {
    // Names that base and current both have, in current's order.
    for (Ref& name : dict_keys(current_.get())) {
      if (!contains(base_, name)) continue;
      PyObject* base = lookup(base_, name);
      PyObject* current = lookup(current_, name);
      bool in_incoming = contains(incoming_, name);
      if (!structdiff::values_equal(base, current)) {
        if (!in_incoming) {
          keep_current_as_conflicting(name);
          remove(name);
        } else if (PyObject* incoming = lookup(incoming_, name);
                   !structdiff::values_equal(base, incoming) &&
                   !structdiff::values_equal(current, incoming)) {
          // Both changed it, differently; otherwise current's change stands.
          keep_current_as_conflicting(name);
          add_incoming_as_conflicting(name);
          remove(name);
        }
      } else if (!in_incoming) {
        remove(name);
      } else if (!structdiff::values_equal(base, lookup(incoming_, name))) {
        host::check_status(PyDict_SetItem(merged_.get(), name.get(), lookup(incoming_, name)));
      }
    }
    // Names that base has and current has not, in base's order.
    for (Ref& name : dict_keys(base_.get())) {
      if (contains(current_, name) || !contains(incoming_, name)) continue;
      if (!structdiff::values_equal(lookup(incoming_, name), lookup(base_, name))) {
        add_incoming_as_conflicting(name);
      }
    }
    // Names that incoming has and base has not, in incoming's order.
    for (Ref& name : dict_keys(incoming_.get())) {
      if (contains(base_, name)) continue;
      if (contains(current_, name)) {
        if (!structdiff::values_equal(lookup(current_, name), lookup(incoming_, name))) {
          keep_current_as_conflicting(name);
          add_incoming_as_conflicting(name);
          remove(name);
        }
      } else {
        host::check_status(PyDict_SetItem(merged_.get(), name.get(), lookup(incoming_, name)));
      }
    }
    return host::check(PyDict_Values(merged_.get()));
  }

 private:
  static void rename(Handle parameter, const char* prefix, Handle name, Handle target) {
    Ref renamed = host::check(PyNumber_Add(host::intern(prefix), name));
    host::check_status(PyDict_SetItem(target, renamed.get(), parameter));
    host::check_status(PyObject_SetItem(parameter, host::key<"name">(), renamed.get()));
  }

  void keep_current_as_conflicting(Handle name) {
    Ref parameter = Ref::borrow(lookup(merged_, name));
    rename(parameter, "<<< ", name, merged_);
  }

  void add_incoming_as_conflicting(Handle name) {
    Ref parameter = Ref::borrow(lookup(incoming_, name));
    rename(parameter, ">>> ", name, merged_);
  }

  void remove(Handle name) { host::check_status(PyDict_DelItem(merged_.get(), name)); }

  Ref current_;
  Ref base_;
  Ref incoming_;
  Ref merged_;
};

}  // namespace

Ref merge_parameters(PyObject* current, PyObject* base, PyObject* incoming) {
  return ParameterMerge(current, base, incoming).run();
}

}  // namespace vornik::nbweave
