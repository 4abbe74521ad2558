// DiffParameter, the diff record of one notebook parameter: a view over the parameter's own
// mapping, which it marks in place.
#include <utility>
#include <vector>

#include "nbdelta/access.h"
#include "nbdelta/bound.h"

namespace vornik::nbdelta {
namespace {

using host::Function;
using host::FunctionSpec;
using host::Handle;
using host::Ref;
using host::TypeCheck;

Ref none() {
  return Ref::borrow(Py_None);
}

Ref data_of(Handle self) {
  return host::getattr(self, "_data");
}

Ref init_body(Function& function, PyObject* const* args) {
  host::setattr(args[0], "_data", args[1]);
  Ref unchanged = host::getattr(function.global("DiffParameter"), "UNCHANGED");
  host::setattr(args[0], "status", unchanged);
  return none();
}

Ref data_get(Function&, PyObject* const* args) {
  return data_of(args[0]);
}

Ref status_get(Function& function, PyObject* const* args) {
  Ref data = data_of(args[0]);
  return get_or(data, keys().diff_status,
                [&] { return host::getattr(function.global("DiffParameter"), "UNCHANGED"); });
}

Ref status_set(Function& function, PyObject* const* args) {
  assert_status(function, "DiffParameter", args[1]);
  set_item(data_of(args[0]), keys().diff_status, args[1]);
  return none();
}

template <PyObject* Keys::*key>
Ref field_get(Function&, PyObject* const* args) {
  Ref data = data_of(args[0]);
  return get_item(data, keys().*key);
}

// The previous type and value fall back to the current ones through their own properties,
// computed whether or not the previous one is stored.
template <PyObject* Keys::*key, const char* fallback_property>
Ref previous_get(Function&, PyObject* const* args) {
  Ref data = data_of(args[0]);
  return get_or(data, keys().*key, [&] { return host::getattr(args[0], fallback_property); });
}

template <PyObject* Keys::*key>
Ref previous_set(Function&, PyObject* const* args) {
  set_item(data_of(args[0]), keys().*key, args[1]);
  return none();
}

constexpr char kType[] = "type";
constexpr char kValue[] = "value";

const FunctionSpec init_spec{
    .name = "__init__",
    .qualname = "DiffParameter.__init__",
    .parameters = {{"self"}, {"data", "Dict[str, str]", TypeCheck::kDict}},
    .body = init_body,
};

const FunctionSpec data_get_spec{
    .name = "data",
    .qualname = "DiffParameter.data",
    .doc = "Raw parameter data",
    .parameters = {{"self"}},
    .return_annotation = "Dict[str, str]",
    .body = data_get,
    .result_check = TypeCheck::kDict,
};

const FunctionSpec status_get_spec{
    .name = "status",
    .qualname = "DiffParameter.status",
    .doc = "The parameter's diff status",
    .parameters = {{"self"}},
    .return_annotation = "str",
    .body = status_get,
    .result_check = TypeCheck::kStr,
};
const FunctionSpec status_set_spec{
    .name = "status",
    .qualname = "DiffParameter.status",
    .parameters = {{"self"}, {"value", "str", TypeCheck::kStr}},
    .return_annotation = "None",
    .body = status_set,
};

const FunctionSpec name_get_spec{
    .name = "name",
    .qualname = "DiffParameter.name",
    .doc = "The parameter's name",
    .parameters = {{"self"}},
    .return_annotation = "str",
    .body = field_get<&Keys::name>,
    .result_check = TypeCheck::kStr,
};
const FunctionSpec type_get_spec{
    .name = "type",
    .qualname = "DiffParameter.type",
    .doc = "The parameter's type",
    .parameters = {{"self"}},
    .return_annotation = "str",
    .body = field_get<&Keys::type>,
    .result_check = TypeCheck::kStr,
};
const FunctionSpec value_get_spec{
    .name = "value",
    .qualname = "DiffParameter.value",
    .doc = "The parameter's value",
    .parameters = {{"self"}},
    .return_annotation = "str",
    .body = field_get<&Keys::value>,
    .result_check = TypeCheck::kStr,
};

const FunctionSpec prev_type_get_spec{
    .name = "prev_type",
    .qualname = "DiffParameter.prev_type",
    .doc = "The parameter's previous type before modification",
    .parameters = {{"self"}},
    .return_annotation = "str",
    .body = previous_get<&Keys::prev_type, kType>,
    .result_check = TypeCheck::kStr,
};
const FunctionSpec prev_type_set_spec{
    .name = "prev_type",
    .qualname = "DiffParameter.prev_type",
    .parameters = {{"self"}, {"value", "str", TypeCheck::kStr}},
    .return_annotation = "None",
    .body = previous_set<&Keys::prev_type>,
};

const FunctionSpec prev_value_get_spec{
    .name = "prev_value",
    .qualname = "DiffParameter.prev_value",
    .doc = "The parameter's previous value before modification",
    .parameters = {{"self"}},
    .return_annotation = "str",
    .body = previous_get<&Keys::prev_value, kValue>,
    .result_check = TypeCheck::kStr,
};
const FunctionSpec prev_value_set_spec{
    .name = "prev_value",
    .qualname = "DiffParameter.prev_value",
    .parameters = {{"self"}, {"value", "str", TypeCheck::kStr}},
    .return_annotation = "None",
    .body = previous_set<&Keys::prev_value>,
};

}  // namespace

Ref make_diff_parameter_class(Handle module) {
  const Bound& kept = bound();
  std::vector<host::ClassMember> members;
  for (Status status : {Status::kUnchanged, Status::kAdded, Status::kRemoved, Status::kModified}) {
    members.push_back({constant_name(status), kept.statuses.at(static_cast<int>(status)).clone()});
  }
  members.push_back({"__init__", host::make_function(init_spec, module)});
  const std::pair<const FunctionSpec*, const FunctionSpec*> properties[] = {
      {&data_get_spec, nullptr},
      {&status_get_spec, &status_set_spec},
      {&name_get_spec, nullptr},
      {&type_get_spec, nullptr},
      {&value_get_spec, nullptr},
      {&prev_type_get_spec, &prev_type_set_spec},
      {&prev_value_get_spec, &prev_value_set_spec},
  };
  for (const auto& [getter, setter] : properties) {
    Ref get = host::make_function(*getter, module);
    Ref set = setter != nullptr ? host::make_function(*setter, module) : Ref();
    members.push_back({getter->name, host::make_property(get, set)});
  }
  Ref no_bases = host::check(PyTuple_New(0));
  return host::make_class("DiffParameter", module,
                          "Data structure to represent a parameter that undergoes diff process.",
                          no_bases, members);
}

}  // namespace vornik::nbdelta
