// Owning and borrowed references to host objects, and the one way errors travel through C++.
//
// A host exception that is already set travels as a C++ exception of type ErrorAlreadySet, so
// every owning reference on the way out is released by its destructor. Entry points called by
// the host catch it at the boundary (see `boundary`) and return the host's error indicator.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <new>
#include <string_view>
#include <utility>

// Declares the objects of `Class` neither copyable nor movable: they own something tied to the
// place they were made in (a host state, a reference count taken, a descriptor).
// NOLINTBEGIN(bugprone-macro-parentheses): the argument is a class name
#define VORNIK_PINNED(Class)               \
  Class(const Class&) = delete;            \
  Class& operator=(const Class&) = delete; \
  Class(Class&&) = delete;                 \
  Class& operator=(Class&&) = delete
// NOLINTEND(bugprone-macro-parentheses)

namespace vornik::host {

// Thrown when a host exception is set and the current operation must unwind.
struct ErrorAlreadySet {};

[[noreturn]] inline void throw_error_set() {
  throw ErrorAlreadySet{};
}

// A new (owned) reference. Move-only; releases its reference when destroyed.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  // Takes over a reference the caller owns.
  static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
  // Adds a reference of its own.
  static Ref borrow(PyObject* ptr) noexcept {
    Py_XINCREF(ptr);
    return Ref(ptr);
  }

  PyObject* get() const noexcept { return ptr_; }
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  Ref clone() const noexcept { return borrow(ptr_); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  void reset() noexcept { Py_CLEAR(ptr_); }

 private:
  explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

// A borrowed reference: costs nothing, owns nothing. Valid while its owner keeps the object.
class Handle {
 public:
  Handle() noexcept = default;
  Handle(PyObject* ptr) noexcept : ptr_(ptr) {}         // NOLINT(google-explicit-constructor)
  Handle(const Ref& ref) noexcept : ptr_(ref.get()) {}  // NOLINT(google-explicit-constructor)
  PyObject* get() const noexcept { return ptr_; }
  operator PyObject*() const noexcept { return ptr_; }  // NOLINT(google-explicit-constructor)
  Ref new_ref() const noexcept { return Ref::borrow(ptr_); }

 private:
  PyObject* ptr_ = nullptr;
};

// Wraps the result of a host call that returns a new reference or NULL with an error set.
inline Ref check(PyObject* result) {
  if (result == nullptr) throw_error_set();
  return Ref::steal(result);
}

// For host calls that report failure with a negative status.
inline int check_status(int status) {
  if (status < 0) throw_error_set();
  return status;
}

// Runs `body` at an entry point called by the host: a C++ exception becomes the host's error
// indicator (NULL with an exception set), never an unwinding through host frames.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
  try {
    return body().release();
  } catch (const ErrorAlreadySet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
    return nullptr;
  }
}

// The same for entry points that report failure with -1 (setters, module execution).
template <class Body>
int boundary_status(Body&& body) noexcept {
  try {
    body();
    return 0;
  } catch (const ErrorAlreadySet&) {
    return -1;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
    return -1;
  }
}

// Raises a host exception and unwinds.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw_error_set();
}

template <class... Args>
[[noreturn]] void raise_format(PyObject* type, const char* format, Args... args) {
  PyErr_Format(type, format, args...);
  throw_error_set();
}

// A new reference to None, the result of a function that returns nothing.
inline Ref none() noexcept {
  return Ref::borrow(Py_None);
}

// A host text from UTF-8 bytes.
inline Ref make_str(std::string_view text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// An interned host text that lives for the rest of the process, for a name that reaches the code
// as a pointer (a spec's parameter names, `getattr`'s name); a name written in the code takes
// `key<"name">()` below.
PyObject* intern(const char* text);

// A new tuple of interned texts: keyword names for a call, a from-list, a key set.
Ref intern_tuple(std::initializer_list<const char*> texts);

// A text given as a template argument, as in `key<"cells">()`.
template <std::size_t N>
struct Literal {
  constexpr Literal(const char (&text)[N]) {  // NOLINT(google-explicit-constructor)
    std::copy_n(text, N, chars);
  }
  char chars[N];  // NOLINT(cppcoreguidelines-avoid-c-arrays)
};

// The interned host text of a key or attribute name written in the code: made at its first use
// and kept for the rest of the process, so that every later use is one load and no lookup.
template <Literal Text>
PyObject* key() {
  static PyObject* const interned = intern(Text.chars);
  return interned;
}

// The host's truth test of `value`, its errors raised.
inline bool is_true(Handle value) {
  int truth = PyObject_IsTrue(value);
  if (truth < 0) throw_error_set();
  return truth != 0;
}

inline Ref getattr(Handle object, const char* name) {
  return check(PyObject_GetAttr(object, intern(name)));
}

inline void setattr(Handle object, const char* name, Handle value) {
  check_status(PyObject_SetAttr(object, intern(name), value));
}

inline Ref import(const char* module_name) {
  return check(PyImport_ImportModule(module_name));
}

// Calls `callable` with positional arguments given as handles.
template <class... Args>
Ref call(Handle callable, const Args&... args) {
  PyObject* argv[] = {nullptr, Handle(args).get()...};
  return check(PyObject_Vectorcall(callable, argv + 1,
                                   sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Keeps the recursion depth of an iterative walk in step with the host's recursion limit: one
// level per nested container, without using the C stack for it.
class RecursionGuard {
 public:
  RecursionGuard() noexcept = default;
  VORNIK_PINNED(RecursionGuard);
  ~RecursionGuard() {
    while (depth_ > 0) leave();
  }
  void enter(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) throw_error_set();
    ++depth_;
  }
  void leave() noexcept {
    Py_LeaveRecursiveCall();
    --depth_;
  }

 private:
  Py_ssize_t depth_ = 0;
};

}  // namespace vornik::host
