// Native functions that look to the host like functions written in the host language: they
// carry a name, qualified name, module, docstring, stored annotation texts, defaults and a real
// code object, so that introspection (signature, help) works, and they bind as methods.
#pragma once

#include <cstdint>
#include <vector>

#include "host/ref.h"

namespace vornik::host {

// How an argument (or a getter's result) is held to its annotated built-in type.
enum class TypeCheck : std::uint8_t {
  kAny,          // annotated with a class name or not at all: not tested
  kDict,         // exactly dict
  kList,         // exactly list
  kStr,          // exactly str
  kOptionalStr,  // exactly str, or None
};

struct Parameter {
  const char* name;
  const char* annotation = nullptr;  // stored annotation text; none when null
  TypeCheck check = TypeCheck::kAny;
};

class Function;

// The body receives the bound arguments, one per parameter, in parameter order (borrowed).
using FunctionBody = Ref (*)(Function& function, PyObject* const* args);

struct FunctionSpec {
  const char* name;
  const char* qualname;
  const char* doc = nullptr;
  std::vector<Parameter> parameters;
  const char* return_annotation = nullptr;  // stored under "return"; none when null
  // Names of the function's working values; __code__.co_varnames lists them after the
  // arguments.
  std::vector<const char*> working_names;
  FunctionBody body = nullptr;
  // For property getters: the result must be exactly this type, or None.
  TypeCheck result_check = TypeCheck::kAny;
};

// Access to a native function object from inside its body.
class Function {
 public:
  explicit Function(PyObject* object) : object_(object) {}
  PyObject* object() const { return object_; }
  // The namespace of the module that defined the function; names in it are looked up at call
  // time, so that patching a module attribute reaches the function like it would a host one.
  PyObject* globals() const;
  // Looks `name` up in the defining module's namespace, then in the built-ins.
  Ref global(const char* name) const;

 private:
  PyObject* object_;
};

// Creates a native function. `spec` must outlive the process (static storage). `defaults`
// are the values of the trailing parameters that have them.
Ref make_function(const FunctionSpec& spec, Handle module, std::vector<Handle> defaults = {});

// Raises TypeError "Argument ... has incorrect type" unless `value` passes `check`.
void check_argument(const char* name, Handle value, TypeCheck check);

// Raises TypeError "Expected ..., got ..." unless `value` passes `check`.
void check_result(Handle value, TypeCheck check);

// A property of a class: its getter and, for one that can be set, its setter (a setter without
// a body means none). The property's docstring is the getter's.
struct PropertySpec {
  FunctionSpec getter;
  FunctionSpec setter{};
};

// One property described once: both accessors carry its name, qualified name and annotation.
// The getter takes `self` and returns the annotated type (held to `check`, or None); the setter
// takes `self` and `value` (held to `check`) and returns None.
struct PropertyDescription {
  const char* name;
  const char* qualname;
  const char* doc;
  const char* annotation;
  TypeCheck check = TypeCheck::kAny;
  FunctionBody get = nullptr;
  FunctionBody set = nullptr;
};

PropertySpec property(const PropertyDescription& description);

// One entry of a class body: a method, or a property.
class ClassMemberSpec {
 public:
  ClassMemberSpec(const FunctionSpec& method)  // NOLINT(google-explicit-constructor)
      : function_(&method) {}
  ClassMemberSpec(const PropertySpec& property)  // NOLINT(google-explicit-constructor)
      : function_(&property.getter), setter_(&property.setter) {}
  // A property that cannot be set, whose getter is declared as a function.
  static ClassMemberSpec read_only(const FunctionSpec& getter) {
    ClassMemberSpec member(getter);
    member.read_only_ = true;
    return member;
  }

  const char* name() const { return function_->name; }
  // The member's value in a class defined by `module`.
  Ref make(Handle module) const;

 private:
  const FunctionSpec* function_;
  const FunctionSpec* setter_ = nullptr;
  bool read_only_ = false;
};

// A text constant of a class: `name = "text"` in its body.
struct ClassConstant {
  const char* name;
  const char* text;
};

// A class as its body declares it: the constants first, then the members, each in order.
struct ClassSpec {
  const char* name;
  const char* doc = nullptr;
  std::vector<ClassConstant> constants;
  std::vector<ClassMemberSpec> members;
};

// Creates a class the way a class statement does: the metaclass derived from the bases, its
// namespace prepared by the metaclass and filled in order (__module__, __qualname__, __doc__,
// then the constants and members). The specs the members name must outlive the process.
Ref make_class(const ClassSpec& spec, Handle module, Handle bases);

// `super().__init__(argument)` as an initialiser defined in `defining_class` makes it: the next
// initialiser after that class in the MRO of `self`'s class, whatever the names bound meanwhile.
void init_base(Handle defining_class, Handle self, Handle argument);

// Looks `name` up in `globals`, then in the built-ins; NameError when absent.
Ref lookup_global(Handle globals, PyObject* name);

}  // namespace vornik::host
