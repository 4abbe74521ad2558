// vornik_git._native: the document reader and writer, offered to the tests and benchmarks
// without adding names to the driver modules.
#include <string>

#include "host/module.h"
#include "host/ref.h"
#include "json/document.h"

namespace {

using vornik::host::boundary;
using vornik::host::Ref;

PyObject* native_loads(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&] {
    if (nargs < 1 || nargs > 2) {
      vornik::host::raise(PyExc_TypeError, "loads(data, text_mode=False)");
    }
    Py_buffer view;
    vornik::host::check_status(PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE));
    struct Release {
      Py_buffer* view;
      ~Release() { PyBuffer_Release(view); }
    } release{&view};
    bool text_mode = nargs == 2 && vornik::host::check_status(PyObject_IsTrue(args[1])) != 0;
    return vornik::json::parse(
        std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)),
        text_mode);
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
    std::string out;
    vornik::json::write(args[0], out);
    vornik::json::replace_file(args[1], out);
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
    {nullptr, nullptr, 0, nullptr},
};

vornik::host::InitialiseOnce once("vornik_git._native");

int native_exec(PyObject* module) {
  return vornik::host::boundary_status([&] {
    once.claim();
    (void)module;
  });
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
    {0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT, "_native", "Native document reader and writer (private).", 0,
    native_methods,        native_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&native_module); }
