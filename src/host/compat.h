// Everything that differs between the host versions this code supports (3.11 to 3.13), in one
// place; the rest of the code is written once against these helpers.
#pragma once

#include <cstdint>

#include "host/ref.h"

namespace vornik::host {

// How json encodes an exact dict: from a copy of its items (3.11), or reading the dict itself
// pair by pair (3.12 on), so that host code run meanwhile (a subclass's items() or __iter__
// deeper down) may change what comes after.
inline constexpr bool kJsonReadsDictsLive = PY_VERSION_HEX >= 0x030C0000;

// The editor form walks a document as 3.11's json walks it with an indent (its Python-level
// encoder). Later hosts walk differently (3.12 reads dicts live, 3.13 indents in its C encoder),
// so there only plain documents take the native walk, whose text is the same on every host.
inline constexpr bool kEditorWalkIsJsons = PY_VERSION_HEX < 0x030C0000;

// From 3.13 json names a comma right before "]" or "}" ("Illegal trailing comma ..."), at the
// comma, where 3.11 and 3.12 expect the next value or property name after it.
inline constexpr bool kJsonRefusesTrailingCommas = PY_VERSION_HEX >= 0x030D0000;

// True when the host runs with assertions enabled (no -O), read at call time as an `assert`
// statement compiled by the host sees it.
inline bool assertions_enabled() {
#if PY_VERSION_HEX < 0x030C0000
  return Py_OptimizeFlag == 0;
#else
  // The global flag is deprecated from 3.12 and the interpreter's configuration is no longer
  // public from 3.13; `sys.flags` carries the same level, taken from that configuration.
  PyObject* flags = PySys_GetObject("flags");  // borrowed
  if (flags == nullptr) raise(PyExc_RuntimeError, "lost sys.flags");
  Ref level = getattr(flags, "optimize");
  long value = PyLong_AsLong(level.get());
  if (value == -1 && PyErr_Occurred() != nullptr) throw_error_set();
  return value == 0;
#endif
}

// From 3.13 the host's TypeError for an unexpected keyword argument suggests a parameter
// whose name is close to it.
inline constexpr bool kSuggestsKeywords = PY_VERSION_HEX >= 0x030D0000;

// The name the host suggests for an unexpected keyword argument among `candidates` (a list of
// the parameter names), as its own functions' TypeError adds it from 3.13 ("... Did you mean
// 'x'?"); null where it suggests none. Only ever called to word an error.
inline Ref suggested_keyword([[maybe_unused]] Handle candidates, [[maybe_unused]] Handle keyword) {
#if PY_VERSION_HEX >= 0x030D0000
  // The host's own suggestion, offered to its traceback module by this private module.
  PyObject* module = PyImport_ImportModule("_suggestions");
  PyObject* found = module == nullptr ? nullptr
                                      : PyObject_CallMethod(module, "_generate_suggestions", "OO",
                                                            candidates.get(), keyword.get());
  Py_XDECREF(module);
  if (found == nullptr) PyErr_Clear();  // no suggestion rather than another error
  if (found == Py_None) Py_CLEAR(found);
  return Ref::steal(found);
#else
  return {};
#endif
}

// Functions carry `__type_params__` (an empty tuple unless set) from 3.12.
inline constexpr bool kFunctionsHaveTypeParams = PY_VERSION_HEX >= 0x030C0000;

// The value of an int whose magnitude fits one internal digit (below 2**30), read in place
// without a conversion call; false for any other int.
inline bool small_int_value(PyObject* number, std::int32_t& value) {
#if PY_VERSION_HEX < 0x030C0000
  Py_ssize_t signed_size = Py_SIZE(number);
  if (signed_size < -1 || signed_size > 1) return false;
  auto digit =
      signed_size == 0
          ? 0
          : static_cast<std::int32_t>(reinterpret_cast<PyLongObject*>(number)->ob_digit[0]);
  value = signed_size < 0 ? -digit : digit;
  return true;
#else
  auto* object = reinterpret_cast<PyLongObject*>(number);
  if (PyUnstable_Long_IsCompact(object) == 0) return false;
  value = static_cast<std::int32_t>(PyUnstable_Long_CompactValue(object));
  return true;
#endif
}

}  // namespace vornik::host
