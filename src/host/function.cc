#include "host/function.h"

#include <array>
#include <cstddef>
#include <string>

#include "host/compat.h"

namespace vornik::host {
namespace {

// The largest number of parameters a native function may have; the bound arguments live in a
// fixed array on the C stack.
constexpr std::size_t kMaxParameters = 16;

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;  // the __module__ text
  PyObject* doc;
  PyObject* annotations;
  PyObject* defaults;  // tuple or None
  PyObject* kwdefaults;
  PyObject* type_params;  // a tuple; shown where the host's functions have the attribute
  PyObject* code;
  PyObject* globals;
  PyObject* dict;
  PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* object) {
  return reinterpret_cast<FunctionObject*>(object);
}

const char* type_name(TypeCheck check) {
  // In the order of TypeCheck.
  constexpr std::array<const char*, 5> kNames = {"object", "dict", "list", "str", "str"};
  return kNames.at(static_cast<std::size_t>(check));
}

bool passes(PyObject* value, TypeCheck check) {
  switch (check) {
    case TypeCheck::kAny:
      return true;
    case TypeCheck::kDict:
      return PyDict_CheckExact(value);
    case TypeCheck::kList:
      return PyList_CheckExact(value);
    case TypeCheck::kStr:
      return PyUnicode_CheckExact(value);
    case TypeCheck::kOptionalStr:
      return value == Py_None || PyUnicode_CheckExact(value);
  }
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the host's wording for missing arguments.
Ref missing_names(const FunctionSpec& spec, PyObject* const* bound, std::size_t count) {
  std::string text;
  std::size_t total = 0;
  for (std::size_t i = 0; i < count; ++i) total += bound[i] == nullptr ? 1 : 0;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (bound[i] != nullptr) continue;
    if (seen > 0) text += total == 2 ? " and " : (seen + 1 == total ? ", and " : ", ");
    text += '\'';
    text += spec.parameters[i].name;
    text += '\'';
    ++seen;
  }
  return make_str(text);
}

[[noreturn]] void raise_too_many(FunctionObject* self, Py_ssize_t given) {
  const FunctionSpec& spec = *self->spec;
  auto total = static_cast<Py_ssize_t>(spec.parameters.size());
  Py_ssize_t with_defaults = self->defaults == Py_None ? 0 : PyTuple_GET_SIZE(self->defaults);
  Ref takes = with_defaults > 0
                  ? check(PyUnicode_FromFormat("from %zd to %zd", total - with_defaults, total))
                  : check(PyUnicode_FromFormat("%zd", total));
  raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
               self->qualname, takes.get(), total == 1 ? "" : "s", given,
               given == 1 ? "was" : "were");
}

[[noreturn]] void raise_unexpected_keyword(FunctionObject* self, PyObject* key) {
  if constexpr (kSuggestsKeywords) {
    Ref names = check(PyList_New(0));
    for (const Parameter& parameter : self->spec->parameters) {
      check_status(PyList_Append(names.get(), intern(parameter.name)));
    }
    Ref suggestion = suggested_keyword(names, key);
    if (suggestion) {
      raise_format(PyExc_TypeError,
                   "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                   self->qualname, key, suggestion.get());
    }
  }
  raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", self->qualname,
               key);
}

// Binds positional and keyword arguments to parameters, fills defaults, and checks types.
void bind_arguments(FunctionObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
  const FunctionSpec& spec = *self->spec;
  const std::size_t count = spec.parameters.size();
  if (static_cast<std::size_t>(nargs) > count) raise_too_many(self, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        raise_format(PyExc_TypeError, "%U() keywords must be strings", self->qualname);
      }
      std::size_t index = count;
      for (std::size_t i = 0; i < count; ++i) {
        if (key == intern(spec.parameters[i].name)) {
          index = i;
          break;
        }
      }
      if (index == count) {
        for (std::size_t i = 0; i < count; ++i) {
          if (PyUnicode_CompareWithASCIIString(key, spec.parameters[i].name) == 0) {
            index = i;
            break;
          }
        }
      }
      if (index == count) raise_unexpected_keyword(self, key);
      if (bound[index] != nullptr) {
        raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'", self->qualname,
                     key);
      }
      bound[index] = args[nargs + k];
    }
  }

  const Py_ssize_t with_defaults = self->defaults == Py_None ? 0 : PyTuple_GET_SIZE(self->defaults);
  const std::size_t first_default = count - static_cast<std::size_t>(with_defaults);
  std::size_t missing = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (bound[i] != nullptr) continue;
    if (i >= first_default) {
      bound[i] = PyTuple_GET_ITEM(self->defaults, static_cast<Py_ssize_t>(i - first_default));
    } else {
      ++missing;
    }
  }
  if (missing > 0) {
    // Only the required parameters are named; the defaulted ones were filled above.
    Ref names = missing_names(spec, bound, count);
    raise_format(PyExc_TypeError, "%U() missing %zu required positional argument%s: %U",
                 self->qualname, missing, missing == 1 ? "" : "s", names.get());
  }

  for (std::size_t i = 0; i < count; ++i) {
    check_argument(spec.parameters[i].name, bound[i], spec.parameters[i].check);
  }
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) {
  return boundary([&] {
    FunctionObject* self = as_function(callable);
    PyObject* bound[kMaxParameters] = {};
    bind_arguments(self, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
    Function function(callable);
    Ref result = self->spec->body(function, bound);
    if (self->spec->result_check != TypeCheck::kAny) check_result(result, self->spec->result_check);
    return result;
  });
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// The references a function holds, for the collector.
constexpr std::array kHeld = {
    &FunctionObject::name,       &FunctionObject::qualname,    &FunctionObject::module,
    &FunctionObject::doc,        &FunctionObject::annotations, &FunctionObject::defaults,
    &FunctionObject::kwdefaults, &FunctionObject::type_params, &FunctionObject::code,
    &FunctionObject::globals,    &FunctionObject::dict,
};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  for (auto member : kHeld) Py_VISIT(f->*member);
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  for (auto member : kHeld) Py_CLEAR(f->*member);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  PyObject_GC_Del(self);
}

// Attribute slots that the host's own functions expose as assignable.
template <std::size_t Offset>
PyObject* get_slot(PyObject* self, void*) {
  auto* slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
  return Py_NewRef(*slot);
}

template <std::size_t Offset>
int set_text_slot(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "the value must be set to a string object");
    return -1;
  }
  auto* slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
  Py_SETREF(*slot, Py_NewRef(value));
  return 0;
}

template <std::size_t Offset>
int set_any_slot(PyObject* self, PyObject* value, void*) {
  auto* slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
  Py_SETREF(*slot, Py_NewRef(value == nullptr ? Py_None : value));
  return 0;
}

int set_type_params(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
    return -1;
  }
  Py_SETREF(as_function(self)->type_params, Py_NewRef(value));
  return 0;
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  PyObject* replacement = value != nullptr ? Py_NewRef(value) : PyDict_New();
  if (replacement == nullptr) return -1;
  Py_SETREF(as_function(self)->annotations, replacement);
  return 0;
}

#define VORNIK_SLOT(member) offsetof(FunctionObject, member)

PyGetSetDef function_getset[] = {
    {"__name__", get_slot<VORNIK_SLOT(name)>, set_text_slot<VORNIK_SLOT(name)>, nullptr, nullptr},
    {"__qualname__", get_slot<VORNIK_SLOT(qualname)>, set_text_slot<VORNIK_SLOT(qualname)>, nullptr,
     nullptr},
    {"__module__", get_slot<VORNIK_SLOT(module)>, set_any_slot<VORNIK_SLOT(module)>, nullptr,
     nullptr},
    {"__doc__", get_slot<VORNIK_SLOT(doc)>, set_any_slot<VORNIK_SLOT(doc)>, nullptr, nullptr},
    {"__annotations__", get_slot<VORNIK_SLOT(annotations)>, set_annotations, nullptr, nullptr},
    {"__defaults__", get_slot<VORNIK_SLOT(defaults)>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_slot<VORNIK_SLOT(kwdefaults)>, nullptr, nullptr, nullptr},
    {"__code__", get_slot<VORNIK_SLOT(code)>, nullptr, nullptr, nullptr},
    {"__globals__", get_slot<VORNIK_SLOT(globals)>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    // Last: where the host's functions have no such attribute the entry has no name, which
    // ends the table here.
    {kFunctionsHaveTypeParams ? "__type_params__" : nullptr, get_slot<VORNIK_SLOT(type_params)>,
     set_type_params, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef VORNIK_SLOT

PyTypeObject function_type = [] {
  PyTypeObject type{};
  Py_SET_REFCNT(&type, 1);
  type.tp_name = "vornik_git.native_function";
  type.tp_basicsize = sizeof(FunctionObject);
  type.tp_dealloc = function_dealloc;
  type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  type.tp_repr = function_repr;
  type.tp_call = PyVectorcall_Call;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                  Py_TPFLAGS_METHOD_DESCRIPTOR;
  type.tp_doc = "A function of the native driver modules.";
  type.tp_traverse = function_traverse;
  type.tp_clear = function_clear;
  type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  type.tp_getset = function_getset;
  type.tp_descr_get = function_descr_get;
  type.tp_dictoffset = offsetof(FunctionObject, dict);
  return type;
}();

PyTypeObject* ready_function_type() {
  if (function_type.tp_flags & Py_TPFLAGS_READY) return &function_type;
  check_status(PyType_Ready(&function_type));
  return &function_type;
}

Ref tuple_of_names(const FunctionSpec& spec) {
  const std::size_t count = spec.parameters.size() + spec.working_names.size();
  Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(count)));
  Py_ssize_t index = 0;
  for (const Parameter& parameter : spec.parameters) {
    PyTuple_SET_ITEM(names.get(), index++, Py_NewRef(intern(parameter.name)));
  }
  for (const char* name : spec.working_names) {
    PyTuple_SET_ITEM(names.get(), index++, Py_NewRef(intern(name)));
  }
  return names;
}

// A genuine code object describing the function's arguments and working values, as
// introspection expects to find it. It is never executed.
Ref make_code(const FunctionSpec& spec, Handle module) {
  Ref filename;
  PyObject* file = PyObject_GetAttrString(module, "__file__");
  if (file != nullptr && PyUnicode_Check(file)) {
    filename = Ref::steal(file);
  } else {
    Py_XDECREF(file);
    PyErr_Clear();
    filename = make_str(PyModule_GetName(module) != nullptr ? PyModule_GetName(module) : "");
  }
  PyCodeObject* empty = PyCode_NewEmpty(PyUnicode_AsUTF8(filename.get()), spec.name, 1);
  if (empty == nullptr) throw_error_set();
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(empty));

  Ref varnames = tuple_of_names(spec);
  Ref kwargs = check(PyDict_New());
  auto set = [&](const char* key, Ref value) {
    check_status(PyDict_SetItemString(kwargs.get(), key, value.get()));
  };
  set("co_argcount", check(PyLong_FromSize_t(spec.parameters.size())));
  set("co_posonlyargcount", check(PyLong_FromLong(0)));
  set("co_kwonlyargcount", check(PyLong_FromLong(0)));
  set("co_nlocals", check(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames.get()))));
  set("co_varnames", std::move(varnames));
  set("co_flags", check(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS)));
  set("co_name", make_str(spec.name));
  set("co_qualname", make_str(spec.qualname));
  Ref replace = getattr(code, "replace");
  Ref no_args = check(PyTuple_New(0));
  return check(PyObject_Call(replace.get(), no_args.get(), kwargs.get()));
}

Ref make_annotations(const FunctionSpec& spec) {
  Ref annotations = check(PyDict_New());
  for (const Parameter& parameter : spec.parameters) {
    if (parameter.annotation == nullptr) continue;
    check_status(PyDict_SetItem(annotations.get(), intern(parameter.name),
                                make_str(parameter.annotation).get()));
  }
  if (spec.return_annotation != nullptr) {
    check_status(
        PyDict_SetItem(annotations.get(), key<"return">(), make_str(spec.return_annotation).get()));
  }
  return annotations;
}

}  // namespace

PyObject* Function::globals() const {
  return as_function(object_)->globals;
}

Ref Function::global(const char* name) const {
  return lookup_global(globals(), intern(name));
}

Ref make_function(const FunctionSpec& spec, Handle module, std::vector<Handle> defaults) {
  if (spec.parameters.size() > kMaxParameters || defaults.size() > spec.parameters.size()) {
    raise(PyExc_SystemError, "native function declared with too many parameters or defaults");
  }
  PyTypeObject* type = ready_function_type();
  Ref code = make_code(spec, module);
  Ref annotations = make_annotations(spec);
  Ref defaults_tuple = Ref::borrow(Py_None);
  if (!defaults.empty()) {
    defaults_tuple = check(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
    for (std::size_t i = 0; i < defaults.size(); ++i) {
      PyTuple_SET_ITEM(defaults_tuple.get(), static_cast<Py_ssize_t>(i),
                       Py_NewRef(defaults[i].get()));
    }
  }
  Ref module_name = getattr(module, "__name__");
  Ref name = make_str(spec.name);
  Ref qualname = make_str(spec.qualname);
  Ref doc = spec.doc != nullptr ? make_str(spec.doc) : Ref::borrow(Py_None);
  Ref type_params = check(PyTuple_New(0));

  auto* self = PyObject_GC_New(FunctionObject, type);
  if (self == nullptr) throw_error_set();
  self->vectorcall = function_vectorcall;
  self->spec = &spec;
  self->name = name.release();
  self->qualname = qualname.release();
  self->module = module_name.release();
  self->doc = doc.release();
  self->annotations = annotations.release();
  self->defaults = defaults_tuple.release();
  self->kwdefaults = Py_NewRef(Py_None);
  self->type_params = type_params.release();
  self->code = code.release();
  self->globals = Py_NewRef(PyModule_GetDict(module));
  self->dict = nullptr;
  self->weakrefs = nullptr;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(self));
  return Ref::steal(reinterpret_cast<PyObject*>(self));
}

void check_argument(const char* name, Handle value, TypeCheck check) {
  if (passes(value, check)) return;
  raise_format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
               type_name(check), Py_TYPE(value.get())->tp_name);
}

void check_result(Handle value, TypeCheck check) {
  if (value.get() == Py_None || passes(value, check)) return;
  raise_format(PyExc_TypeError, "Expected %s, got %.200s", type_name(check),
               Py_TYPE(value.get())->tp_name);
}

PropertySpec property(const PropertyDescription& description) {
  PropertySpec spec{
      .getter = {.name = description.name,
                 .qualname = description.qualname,
                 .doc = description.doc,
                 .parameters = {{"self"}},
                 .return_annotation = description.annotation,
                 .body = description.get,
                 .result_check = description.check},
  };
  if (description.set != nullptr) {
    spec.setter = {.name = description.name,
                   .qualname = description.qualname,
                   .parameters = {{"self"}, {"value", description.annotation, description.check}},
                   .return_annotation = "None",
                   .body = description.set};
  }
  return spec;
}

Ref ClassMemberSpec::make(Handle module) const {
  Ref function = make_function(*function_, module);
  if (setter_ == nullptr && !read_only_) return function;
  // host `property(getter, setter)`
  Ref setter = setter_ != nullptr && setter_->body != nullptr ? make_function(*setter_, module)
                                                              : Ref::borrow(Py_None);
  return call(reinterpret_cast<PyObject*>(&PyProperty_Type), function, setter);
}

Ref make_class(const ClassSpec& spec, Handle module, Handle bases) {
  // The metaclass is the most derived metaclass of the bases, as a class statement finds it.
  auto* meta = reinterpret_cast<PyObject*>(&PyType_Type);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.get()); ++i) {
    auto* base_meta = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases.get(), i)));
    if (check_status(PyObject_IsSubclass(meta, base_meta)) != 0) continue;
    if (check_status(PyObject_IsSubclass(base_meta, meta)) != 0) {
      meta = base_meta;
      continue;
    }
    raise(PyExc_TypeError,
          "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass "
          "of the metaclasses of all its bases");
  }
  Ref class_name = make_str(spec.name);
  Ref prepare = getattr(meta, "__prepare__");
  Ref namespace_ = call(prepare, class_name, bases);
  auto put = [&](const char* key, Handle value) {
    check_status(PyObject_SetItem(namespace_.get(), intern(key), value));
  };
  put("__module__", getattr(module, "__name__"));
  put("__qualname__", class_name);
  if (spec.doc != nullptr) put("__doc__", make_str(spec.doc));
  for (const ClassConstant& constant : spec.constants) put(constant.name, intern(constant.text));
  for (const ClassMemberSpec& member : spec.members) put(member.name(), member.make(module));
  return call(meta, class_name, bases, namespace_);
}

void init_base(Handle defining_class, Handle self, Handle argument) {
  Ref base = call(reinterpret_cast<PyObject*>(&PySuper_Type), defining_class, self);
  Ref base_init = getattr(base, "__init__");
  call(base_init, argument);
}

Ref lookup_global(Handle globals, PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (value == nullptr) {
    if (PyErr_Occurred()) throw_error_set();
    PyObject* builtins = PyEval_GetBuiltins();
    value = builtins != nullptr ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (value == nullptr) {
      if (PyErr_Occurred()) throw_error_set();
      raise_format(PyExc_NameError, "name '%U' is not defined", name);
    }
  }
  return Ref::borrow(value);
}

}  // namespace vornik::host
