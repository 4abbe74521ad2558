// "Unchanged since load": what a module's load sequence found and made, recorded so that a later
// call can ask once, cheaply, whether every one of those objects is still in place and still
// holds what it held. Callers that get yes may carry out the recorded objects' effects
// themselves; any other answer sends them through the objects, looked up as the host would.
#pragma once

#include <vector>

#include "host/ref.h"

namespace vornik::host {

// The record of one load sequence. Keep it for the life of the process and never destroy it
// (allocate it with new): the calls that ask it may run until the host shuts down, and releasing
// host objects after that is not safe. Every question runs with the host's lock held.
class LoadRecord {
 public:
  LoadRecord() = default;
  LoadRecord(const LoadRecord&) = delete;
  LoadRecord& operator=(const LoadRecord&) = delete;
  LoadRecord(LoadRecord&&) = delete;
  LoadRecord& operator=(LoadRecord&&) = delete;
  ~LoadRecord() = default;

  // Records that `name` in `owner` is `object`; null `object`: that `name` is absent. `owner` is
  // a module (its namespace, and that the module is still of the class it has now) or a dict.
  void bind(Handle owner, const char* name, Handle object);
  // Records what `owner` binds to `name` now, and returns it (null when absent).
  Ref bind_current(Handle owner, const char* name);

  // Records a class: its attributes, its bases and its metaclass, with the host's version tags
  // of all of them. A class of the host's own (not made by a class statement) cannot change and
  // is recorded by identity only.
  void keep_class(Handle cls);
  // The same for a class that must also be defined by the module `sibling` of `module`'s
  // package, from the file of that name beside `module`'s file (see is_shipped_class); when it
  // is not, the record never holds.
  void keep_shipped_class(Handle module, Handle cls, const char* sibling);
  // Makes the record never hold: something the load sequence needed was not as expected.
  void refuse() { refused_ = true; }

  // Whether every binding still holds and every class kept is unchanged. Cheap while no class
  // was touched (one comparison of version tags each); after a class changed and changed back
  // (a patch undone) the class is compared member by member and the new tags are remembered.
  bool holds();

 private:
  struct Binding {
    Ref owner;       // the module or dict
    Ref namespace_;  // the dict the name lives in
    PyTypeObject* owner_type;
    PyObject* name;  // interned
    Ref object;      // null: absent
  };
  struct ClassSnapshot {
    Ref cls;
    Ref members;  // a copy of the class's own attributes
    Ref mro;
    unsigned int tag = 0;
  };

  void snapshot(PyObject* cls);
  bool bindings_hold() const;

  std::vector<Binding> bindings_;
  std::vector<ClassSnapshot> classes_;
  bool refused_ = false;
};

// Whether `cls` is a class made by a class statement of the module `sibling` in `module`'s
// package, from the file `sibling`.py beside `module`'s own file, with the host's own metaclass:
// every function of the class, and every accessor of its properties, must have been compiled
// from that file, so that a module put in its place may claim the file name but not the code.
bool is_shipped_class(Handle module, Handle cls, const char* sibling);

}  // namespace vornik::host
