// vornik_git._native: the document reader and writer, offered to the tests and benchmarks
// without adding names to the driver modules.
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
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  BufferView(BufferView&&) = delete;
  BufferView& operator=(BufferView&&) = delete;
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

const FunctionSpec kLoadsSpec{
    .name = "loads",
    .qualname = "loads",
    .doc = "Parse UTF-8 JSON bytes; text_mode reads them as a text file would.",
    .parameters = {{"data"}, {"text_mode"}},
    .body = loads_body,
};
const FunctionSpec kLoadSpec{
    .name = "load",
    .qualname = "load",
    .doc = "Read a document file.",
    .parameters = {{"path"}},
    .body = load_body,
};
const FunctionSpec kDumpsSpec{
    .name = "dumps",
    .qualname = "dumps",
    .doc = "The text form of a document.",
    .parameters = {{"value"}},
    .body = dumps_body,
};
const FunctionSpec kDumpSpec{
    .name = "dump",
    .qualname = "dump",
    .doc = "Write a document file, replacing it atomically.",
    .parameters = {{"value"}, {"path"}},
    .body = dump_body,
};
const FunctionSpec kDumpsEditorSpec{
    .name = "dumps_editor",
    .qualname = "dumps_editor",
    .doc = "The editor form, json.dumps(value, indent=1, sort_keys=True, ensure_ascii=False).",
    .parameters = {{"value"}},
    .body = dumps_editor_body,
};
const FunctionSpec kDumpEditorSpec{
    .name = "dump_editor",
    .qualname = "dump_editor",
    .doc = "Write the editor form and a newline, replacing the file atomically.",
    .parameters = {{"value"}, {"path"}},
    .body = dump_editor_body,
};
const FunctionSpec kReplaceSpec{
    .name = "replace",
    .qualname = "replace",
    .doc = "Put bytes in place of the file in one step, as the writers do.",
    .parameters = {{"path"}, {"data"}},
    .body = replace_body,
};

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
    .body = record_init,
};
const vornik::host::PropertySpec record_value_property = vornik::host::property({
    .name = "value",
    .qualname = "Record.value",
    .doc = "The stored value",
    .annotation = "str",
    .check = TypeCheck::kStr,
    .get = record_value_get,
    .set = record_value_set,
});

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

const FunctionSpec make_record_spec{
    .name = "make_record_class",
    .qualname = "make_record_class",
    .parameters = {{"base"}},
    .body = make_record_body,
};

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

const vornik::host::ModuleSpec kModule{
    .qualified_name = "vornik_git._native",
    .name = "_native",
    .doc = "Native document reader and writer (private).",
    .load = load,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  return vornik::host::initialise<kModule>();
}
