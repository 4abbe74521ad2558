// DiffParameter, the diff record of one notebook parameter: a view over the parameter's own
// mapping, which it marks in place.
#include "host/function.h"
#include "nbdelta/access.h"
#include "nbdelta/definitions.h"
#include "nbdelta/status.h"

namespace vornik::nbdelta {
namespace {

using host::Function;
using host::Ref;
using host::TypeCheck;

Ref data_of(host::Handle self) {
  return host::getattr(self, "_data");
}

Ref init_body(Function& function, PyObject* const* args) {
  host::setattr(args[0], "_data", args[1]);
  mark_unchanged<"DiffParameter">(function, args[0]);
  return host::none();
}

Ref data_get(Function&, PyObject* const* args) {
  return data_of(args[0]);
}

template <host::Literal Key>
Ref field_get(Function&, PyObject* const* args) {
  Ref data = data_of(args[0]);
  return get_item(data, host::key<Key>());
}

// The previous type and value fall back to the current ones through their own properties,
// computed whether or not the previous one is stored.
template <host::Literal Key, host::Literal Fallback>
Ref previous_get(Function&, PyObject* const* args) {
  Ref data = data_of(args[0]);
  return get_or(data, host::key<Key>(),
                [&] { return host::check(PyObject_GetAttr(args[0], host::key<Fallback>())); });
}

template <host::Literal Key>
Ref previous_set(Function&, PyObject* const* args) {
  set_item(data_of(args[0]), host::key<Key>(), args[1]);
  return host::none();
}

const host::FunctionSpec init_spec{
    .name = "__init__",
    .qualname = "DiffParameter.__init__",
    .parameters = {{"self"}, {"data", "Dict[str, str]", TypeCheck::kDict}},
    .body = init_body,
};

// A property of the parameter held as a text.
constexpr host::PropertyDescription text_property(const char* name, const char* qualname,
                                                  const char* doc, host::FunctionBody get,
                                                  host::FunctionBody set = nullptr) {
  return {.name = name,
          .qualname = qualname,
          .doc = doc,
          .annotation = "str",
          .check = TypeCheck::kStr,
          .get = get,
          .set = set};
}

const host::PropertySpec data_property = host::property({
    .name = "data",
    .qualname = "DiffParameter.data",
    .doc = "Raw parameter data",
    .annotation = "Dict[str, str]",
    .check = TypeCheck::kDict,
    .get = data_get,
});
const host::PropertySpec status_property = record_status_property<data_of, "DiffParameter">(
    "DiffParameter.status", "The parameter's diff status");
const host::PropertySpec name_property = host::property(
    text_property("name", "DiffParameter.name", "The parameter's name", field_get<"name">));
const host::PropertySpec type_property = host::property(
    text_property("type", "DiffParameter.type", "The parameter's type", field_get<"type">));
const host::PropertySpec value_property = host::property(
    text_property("value", "DiffParameter.value", "The parameter's value", field_get<"value">));
const host::PropertySpec prev_type_property = host::property(text_property(
    "prev_type", "DiffParameter.prev_type", "The parameter's previous type before modification",
    previous_get<"prev_type", "type">, previous_set<"prev_type">));
const host::PropertySpec prev_value_property = host::property(text_property(
    "prev_value", "DiffParameter.prev_value", "The parameter's previous value before modification",
    previous_get<"prev_value", "value">, previous_set<"prev_value">));

}  // namespace

const host::ClassSpec kDiffParameterClass{
    .name = "DiffParameter",
    .doc = "Data structure to represent a parameter that undergoes diff process.",
    .constants = status_constants(),
    .members = {init_spec, data_property, status_property, name_property, type_property,
                value_property, prev_type_property, prev_value_property},
};

}  // namespace vornik::nbdelta
