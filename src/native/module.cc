// vornik_git._native: the document reader and writer, offered to the tests and benchmarks
// without adding names to the driver modules.
#include <string>
#include <vector>

#include "host/function.h"
#include "host/module.h"
#include "host/ref.h"
#include "json/document.h"

namespace {

using vornik::host::boundary;
using vornik::host::Ref;

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

PyObject* native_loads(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&] {
    if (nargs < 1 || nargs > 2) {
      vornik::host::raise(PyExc_TypeError, "loads(data, text_mode=False)");
    }
    bool text_mode = nargs == 2 && vornik::host::is_true(args[1]);
    BufferView view(args[0]);
    return vornik::json::parse(view.bytes(), text_mode);
  });
}

PyObject* native_load(PyObject*, PyObject* path) {
  return boundary([&] { return vornik::json::read_file(path); });
}

PyObject* native_dumps(PyObject*, PyObject* value) {
  return boundary([&] { return vornik::json::dumps(value); });
}

PyObject* native_dump(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&] {
    if (nargs != 2) vornik::host::raise(PyExc_TypeError, "dump(value, path)");
    vornik::json::write_file(args[1], args[0]);
    return Ref::borrow(Py_None);
  });
}

PyObject* native_dumps_editor(PyObject*, PyObject* value) {
  return boundary([&] { return vornik::json::dumps_editor(value); });
}

PyObject* native_dump_editor(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&] {
    if (nargs != 2) vornik::host::raise(PyExc_TypeError, "dump_editor(value, path)");
    vornik::json::write_editor_file(args[1], args[0]);
    return Ref::borrow(Py_None);
  });
}

PyObject* native_replace(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&] {
    if (nargs != 2 || !PyBytes_Check(args[1])) {
      vornik::host::raise(PyExc_TypeError, "replace(path, data: bytes)");
    }
    vornik::json::replace_file(
        args[0], {PyBytes_AS_STRING(args[1]), static_cast<size_t>(PyBytes_GET_SIZE(args[1]))});
    return Ref::borrow(Py_None);
  });
}

PyMethodDef native_methods[] = {
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_loads)),
     METH_FASTCALL, "loads(data, text_mode=False): parse UTF-8 JSON bytes."},
    {"load", native_load, METH_O, "load(path): read a document file."},
    {"dumps", native_dumps, METH_O, "dumps(value): the text form of a document."},
    {"dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_dump)),
     METH_FASTCALL, "dump(value, path): write a document file, replacing it atomically."},
    {"dumps_editor", native_dumps_editor, METH_O,
     "dumps_editor(value): the editor form, json.dumps(value, indent=1, sort_keys=True, "
     "ensure_ascii=False)."},
    {"replace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_replace)),
     METH_FASTCALL,
     "replace(path, data): put bytes in place of the file in one step, as the writers do."},
    {"dump_editor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_dump_editor)),
     METH_FASTCALL,
     "dump_editor(value, path): write the editor form and a newline, replacing the file "
     "atomically."},
    {nullptr, nullptr, 0, nullptr},
};

// Samples of the native function type, so that the tests can hold the host layer to what the
// driver modules rely on: argument binding, type checks, introspection, methods, properties.
using vornik::host::ClassMember;
using vornik::host::Function;
using vornik::host::FunctionSpec;
using vornik::host::TypeCheck;

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
  return Ref::borrow(Py_None);
}

Ref record_value_get(Function&, PyObject* const* args) {
  Ref data = vornik::host::getattr(args[0], "_data");
  PyObject* value = PyDict_GetItemWithError(data.get(), vornik::host::intern("value"));
  if (value == nullptr && PyErr_Occurred()) vornik::host::throw_error_set();
  return Ref::borrow(value != nullptr ? value : Py_None);
}

Ref record_value_set(Function&, PyObject* const* args) {
  Ref data = vornik::host::getattr(args[0], "_data");
  vornik::host::check_status(PyDict_SetItem(data.get(), vornik::host::intern("value"), args[1]));
  return Ref::borrow(Py_None);
}

const FunctionSpec record_init_spec{
    .name = "__init__",
    .qualname = "Record.__init__",
    .parameters = {{"self"}, {"data", "Dict[str, Any]", TypeCheck::kDict}},
    .body = record_init,
};
const FunctionSpec record_value_get_spec{
    .name = "value",
    .qualname = "Record.value",
    .doc = "The stored value",
    .parameters = {{"self"}},
    .return_annotation = "str",
    .body = record_value_get,
    .result_check = TypeCheck::kStr,
};
const FunctionSpec record_value_set_spec{
    .name = "value",
    .qualname = "Record.value",
    .parameters = {{"self"}, {"value", "str", TypeCheck::kStr}},
    .return_annotation = "None",
    .body = record_value_set,
};

// Builds the sample class `Record` on the given base class, as the driver modules build theirs.
Ref make_record_body(Function& function, PyObject* const* args) {
  Ref module = vornik::host::lookup_global(function.globals(), vornik::host::intern("_self"));
  Ref bases = vornik::host::check(PyTuple_Pack(1, args[0]));
  Ref getter = vornik::host::make_function(record_value_get_spec, module);
  Ref setter = vornik::host::make_function(record_value_set_spec, module);
  std::vector<ClassMember> members;
  members.push_back({"KIND", vornik::host::make_str("record")});
  members.push_back({"__init__", vornik::host::make_function(record_init_spec, module)});
  members.push_back({"value", vornik::host::make_property(getter, setter)});
  return vornik::host::make_class("Record", module, "A sample record over a dict.", bases, members);
}

const FunctionSpec make_record_spec{
    .name = "make_record_class",
    .qualname = "make_record_class",
    .parameters = {{"base"}},
    .body = make_record_body,
};

vornik::host::InitialiseOnce once("vornik_git._native");

int native_exec(PyObject* module) {
  return vornik::host::boundary_status([&] {
    once.claim();
    vornik::host::ModuleBody body(module);
    body.bind("_self", module);
    body.bind("sample", vornik::host::make_function(sample_spec, module, {Py_None, Py_None}));
    body.bind("lookup", vornik::host::make_function(lookup_spec, module));
    body.bind("make_record_class", vornik::host::make_function(make_record_spec, module));
  });
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
    {0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Native document reader and writer (private).",
    0,
    native_methods,
    native_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  return PyModuleDef_Init(&native_module);
}
