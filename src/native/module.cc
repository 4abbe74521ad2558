// vornik_git._native: the document reader and writer, offered to the tests and benchmarks
// without adding names to the driver modules.
#include <initializer_list>
#include <string>
#include <vector>

#include "host/function.h"
#include "host/module.h"
#include "host/ref.h"
#include "json/document.h"

namespace {

using vornik::host::Function;
using vornik::host::FunctionSpec;
using vornik::host::Handle;
using vornik::host::Ref;
using vornik::host::TypeCheck;

// The bytes of an object that offers the buffer interface, for as long as this view lives.
class BufferView {
 public:
  explicit BufferView(PyObject* object) {
    vornik::host::check_status(PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE));
  }
  VORNIK_PINNED(BufferView);
  ~BufferView() { PyBuffer_Release(&view_); }
  std::string_view bytes() const {
    return {static_cast<const char*>(view_.buf), static_cast<size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

Ref loads_body(Function&, PyObject* const* args) {
  BufferView view(args[0]);
  return vornik::json::parse(view.bytes(), vornik::host::is_true(args[1]));
}

Ref load_body(Function&, PyObject* const* args) {
  return vornik::json::read_file(args[0]);
}

Ref dumps_body(Function&, PyObject* const* args) {
  return vornik::json::dumps(args[0]);
}

Ref dump_body(Function&, PyObject* const* args) {
  vornik::json::write_file(args[1], args[0]);
  return vornik::host::none();
}

Ref dumps_editor_body(Function&, PyObject* const* args) {
  return vornik::json::dumps_editor(args[0]);
}

Ref dump_editor_body(Function&, PyObject* const* args) {
  vornik::json::write_editor_file(args[1], args[0]);
  return vornik::host::none();
}

Ref replace_body(Function&, PyObject* const* args) {
  if (!PyBytes_Check(args[1])) vornik::host::raise(PyExc_TypeError, "replace(path, data: bytes)");
  vornik::json::replace_file(
      args[0], {PyBytes_AS_STRING(args[1]), static_cast<size_t>(PyBytes_GET_SIZE(args[1]))});
  return vornik::host::none();
}

// The body of a function that counts one level of recursion for its call, as the host counts a
// call of one of its built-in functions: the document functions were built-ins, and where the
// depth of a document meets the recursion limit they still give up at the same depth.
template <vornik::host::FunctionBody Body>
Ref as_builtin(Function& function, PyObject* const* args) {
  vornik::host::RecursionGuard level;
  level.enter(" while calling a Python object");
  return Body(function, args);
}

// A function of this module that takes objects of any type.
template <vornik::host::FunctionBody Body>
FunctionSpec plain(const char* name, const char* doc,
                   std::initializer_list<const char*> parameters) {
  FunctionSpec spec{.name = name, .qualname = name, .doc = doc, .body = as_builtin<Body>};
  for (const char* parameter : parameters) spec.parameters.push_back({parameter});
  return spec;
}

const FunctionSpec kLoadsSpec =
    plain<loads_body>("loads", "Parse UTF-8 JSON bytes; text_mode reads them as a text file would.",
                      {"data", "text_mode"});
const FunctionSpec kLoadSpec = plain<load_body>("load", "Read a document file.", {"path"});
const FunctionSpec kDumpsSpec =
    plain<dumps_body>("dumps", "The text form of a document.", {"value"});
const FunctionSpec kDumpSpec =
    plain<dump_body>("dump", "Write a document file, replacing it atomically.", {"value", "path"});
const FunctionSpec kDumpsEditorSpec = plain<dumps_editor_body>(
    "dumps_editor",
    "The editor form, json.dumps(value, indent=1, sort_keys=True, ensure_ascii=False).", {"value"});
const FunctionSpec kDumpEditorSpec = plain<dump_editor_body>(
    "dump_editor", "Write the editor form and a newline, replacing the file atomically.",
    {"value", "path"});
const FunctionSpec kReplaceSpec = plain<replace_body>(
    "replace", "Put bytes in place of the file in one step, as the writers do.", {"path", "data"});

// Samples of the native function type, so that the tests can hold the host layer to what the
// driver modules rely on: argument binding, type checks, introspection, methods, properties.

Ref sample_body(Function&, PyObject* const* args) {
  Ref result = vornik::host::check(PyList_New(5));
  for (Py_ssize_t i = 0; i < 5; ++i) PyList_SET_ITEM(result.get(), i, Py_NewRef(args[i]));
  return result;
}

const FunctionSpec sample_spec{
    .name = "sample",
    .qualname = "sample",
    .doc = "Returns its arguments as a list.",
    .parameters = {{"text", "str", TypeCheck::kStr},
                   {"items", "List[str]", TypeCheck::kList},
                   {"mapping", "Dict[str, Any]", TypeCheck::kDict},
                   {"label", "Optional[str]", TypeCheck::kOptionalStr},
                   {"anything", "Cell"}},
    .return_annotation = "List[str]",
    .working_names = {"result", "index"},
    .body = sample_body,
};

// Looks `name` up in the module's namespace at call time.
Ref lookup_body(Function& function, PyObject* const* args) {
  return vornik::host::lookup_global(function.globals(), args[0]);
}

const FunctionSpec lookup_spec{
    .name = "lookup",
    .qualname = "lookup",
    .parameters = {{"name", "str", TypeCheck::kStr}},
    .body = lookup_body,
};

Ref record_init(Function&, PyObject* const* args) {
  vornik::host::setattr(args[0], "_data", args[1]);
  return vornik::host::none();
}

Ref record_value_get(Function&, PyObject* const* args) {
  Ref data = vornik::host::getattr(args[0], "_data");
  PyObject* value = PyDict_GetItemWithError(data.get(), vornik::host::key<"value">());
  if (value == nullptr && PyErr_Occurred()) vornik::host::throw_error_set();
  return Ref::borrow(value != nullptr ? value : Py_None);
}

Ref record_value_set(Function&, PyObject* const* args) {
  Ref data = vornik::host::getattr(args[0], "_data");
  vornik::host::check_status(PyDict_SetItem(data.get(), vornik::host::key<"value">(), args[1]));
  return vornik::host::none();
}

const FunctionSpec record_init_spec{
    .name = "__init__",
    .qualname = "Record.__init__",
    .parameters = {{"self"}, {"data", "Dict[str, Any]", TypeCheck::kDict}},
    .body = record_init};
const vornik::host::PropertySpec record_value_property =
    vornik::host::property({"value", "Record.value", "The stored value", "str", TypeCheck::kStr,
                            record_value_get, record_value_set});

// Builds the sample class `Record` on the given base class, as the driver modules build theirs.
Ref make_record_body(Function& function, PyObject* const* args) {
  Ref module = vornik::host::lookup_global(function.globals(), vornik::host::key<"_self">());
  Ref bases = vornik::host::check(PyTuple_Pack(1, args[0]));
  const vornik::host::ClassSpec record_class{
      .name = "Record",
      .doc = "A sample record over a dict.",
      .constants = {{"KIND", "record"}},
      .members = {record_init_spec, record_value_property},
  };
  return vornik::host::make_class(record_class, module, bases);
}

const FunctionSpec make_record_spec =
    plain<make_record_body>("make_record_class", nullptr, {"base"});

void load(const vornik::host::ModuleBody& body) {
  body.bind("_self", body.module());
  body.define(kLoadsSpec, {Py_False});
  for (const FunctionSpec* spec :
       {&kLoadSpec, &kDumpsSpec, &kDumpSpec, &kDumpsEditorSpec, &kReplaceSpec, &kDumpEditorSpec}) {
    body.define(*spec);
  }
  body.define(sample_spec, {Py_None, Py_None});
  body.define(lookup_spec);
  body.define(make_record_spec);
}

}  // namespace

VORNIK_MODULE(_native, "vornik_git._native", .doc = "Native document reader and writer (private).",
              .load = load)
