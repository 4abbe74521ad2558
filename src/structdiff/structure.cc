#include "structdiff/structure.h"

#include <vector>

#include "host/text.h"

namespace vornik::structdiff {
namespace {

using host::Ref;

constexpr const char* kWhere = " in comparison";

// One pair of containers being compared; both are held, since a comparison of values of
// other types runs host code that could drop the last outside reference.
struct EqualFrame {
  Ref a;
  Ref b;
  Py_ssize_t position = 0;
  bool dict = false;
};

enum class Pair { kEqual, kUnequal, kContainers };

// Settles a pair at once where possible; kContainers means both are dicts, or both lists, of
// equal size, whose members must be compared.
Pair classify(PyObject* a, PyObject* b) {
  if (a == b) return Pair::kEqual;
  PyTypeObject* type = Py_TYPE(a);
  if (type == Py_TYPE(b)) {
    if (type == &PyUnicode_Type) {
      return host::same_text(a, b) ? Pair::kEqual : Pair::kUnequal;
    }
    if (type == &PyDict_Type) {
      return PyDict_GET_SIZE(a) == PyDict_GET_SIZE(b) ? Pair::kContainers : Pair::kUnequal;
    }
    if (type == &PyList_Type) {
      return PyList_GET_SIZE(a) == PyList_GET_SIZE(b) ? Pair::kContainers : Pair::kUnequal;
    }
    if (type == &PyFloat_Type) {
      return PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b) ? Pair::kEqual : Pair::kUnequal;
    }
  }
  return host::check_status(PyObject_RichCompareBool(a, b, Py_EQ)) != 0 ? Pair::kEqual
                                                                        : Pair::kUnequal;
}

}  // namespace

bool values_equal(PyObject* a, PyObject* b) {
  Pair first = classify(a, b);
  if (first != Pair::kContainers) return first == Pair::kEqual;

  host::RecursionGuard guard;
  std::vector<EqualFrame> stack;
  auto push = [&](PyObject* x, PyObject* y) {
    guard.enter(kWhere);
    stack.push_back({Ref::borrow(x), Ref::borrow(y), 0, PyDict_CheckExact(x) != 0});
  };
  push(a, b);
  while (!stack.empty()) {
    EqualFrame& frame = stack.back();
    PyObject* x = nullptr;
    PyObject* y = nullptr;
    Ref held_x;
    Ref held_y;
    if (frame.dict) {
      PyObject* key = nullptr;
      if (PyDict_GET_SIZE(frame.a.get()) != PyDict_GET_SIZE(frame.b.get())) return false;
      if (!PyDict_Next(frame.a.get(), &frame.position, &key, &x)) {
        stack.pop_back();
        guard.leave();
        continue;
      }
      Ref held_key = Ref::borrow(key);
      held_x = Ref::borrow(x);
      y = PyDict_GetItemWithError(frame.b.get(), key);
      if (y == nullptr) {
        if (PyErr_Occurred()) host::throw_error_set();
        return false;
      }
      held_y = Ref::borrow(y);
    } else {
      Py_ssize_t size = PyList_GET_SIZE(frame.a.get());
      if (size != PyList_GET_SIZE(frame.b.get())) return false;
      if (frame.position >= size) {
        stack.pop_back();
        guard.leave();
        continue;
      }
      held_x = Ref::borrow(PyList_GET_ITEM(frame.a.get(), frame.position));
      held_y = Ref::borrow(PyList_GET_ITEM(frame.b.get(), frame.position));
      ++frame.position;
      x = held_x.get();
      y = held_y.get();
    }
    switch (classify(x, y)) {
      case Pair::kEqual:
        break;
      case Pair::kUnequal:
        return false;
      case Pair::kContainers:
        push(x, y);  // may move `frame`; it is not used again in this round
        break;
    }
  }
  return true;
}

namespace {

// A pair of dicts being differenced.
struct DiffFrame {
  Ref a;
  Ref b;
  Py_ssize_t position = 0;
  Ref result;   // dict of entries found so far
  Ref deleted;  // keys only in `a`, created on the first one
  bool common = false;
  Ref pending_key;  // the key whose values a child frame is differencing
};

Ref wrap_replacement(PyObject* value, const DiffMarkers& markers) {
  Ref wrapped = host::check(PyDict_New());
  host::check_status(PyDict_SetItem(wrapped.get(), markers.replace_marker, value));
  return wrapped;
}

// The difference of two values that are not both dicts; null when they are equal.
Ref leaf_diff(PyObject* a, PyObject* b, const DiffMarkers& markers) {
  if (values_equal(a, b)) return nullptr;
  if (PyDict_Check(b)) return wrap_replacement(b, markers);
  return Ref::borrow(b);
}

// Finishes a dict frame once every key of `a` has been seen; null when nothing differs.
Ref finish(DiffFrame& frame, const DiffMarkers& markers) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(frame.b.get(), &position, &key, &value)) {
    Ref held_key = Ref::borrow(key);
    Ref held_value = Ref::borrow(value);
    int present = host::check_status(PyDict_Contains(frame.a.get(), key));
    if (present == 0) {
      host::check_status(PyDict_SetItem(frame.result.get(), key, value));
    }
  }
  if (frame.deleted) {
    host::check_status(
        PyDict_SetItem(frame.result.get(), markers.delete_marker, frame.deleted.get()));
  }
  bool both_empty = PyDict_GET_SIZE(frame.a.get()) == 0 && PyDict_GET_SIZE(frame.b.get()) == 0;
  if (!frame.common && !both_empty) return wrap_replacement(frame.b.get(), markers);
  if (PyDict_GET_SIZE(frame.result.get()) == 0) return nullptr;
  return std::move(frame.result);
}

}  // namespace

Ref structural_diff(PyObject* a, PyObject* b, const DiffMarkers& markers) {
  if (!(PyDict_CheckExact(a) && PyDict_CheckExact(b))) {
    Ref leaf = leaf_diff(a, b, markers);
    return leaf ? std::move(leaf) : host::check(PyDict_New());
  }

  host::RecursionGuard guard;
  std::vector<DiffFrame> stack;
  auto push = [&](PyObject* x, PyObject* y) {
    guard.enter(kWhere);
    DiffFrame frame;
    frame.a = Ref::borrow(x);
    frame.b = Ref::borrow(y);
    frame.result = host::check(PyDict_New());
    stack.push_back(std::move(frame));
  };
  push(a, b);
  Ref finished;
  while (true) {
    DiffFrame& frame = stack.back();
    PyObject* key = nullptr;
    PyObject* x = nullptr;
    if (!PyDict_Next(frame.a.get(), &frame.position, &key, &x)) {
      finished = finish(frame, markers);
      stack.pop_back();
      guard.leave();
      if (stack.empty()) break;
      DiffFrame& parent = stack.back();
      if (finished) {
        host::check_status(
            PyDict_SetItem(parent.result.get(), parent.pending_key.get(), finished.get()));
      }
      parent.pending_key.reset();
      continue;
    }
    Ref held_key = Ref::borrow(key);
    Ref held_x = Ref::borrow(x);
    PyObject* y = PyDict_GetItemWithError(frame.b.get(), key);
    if (y == nullptr) {
      if (PyErr_Occurred()) host::throw_error_set();
      if (!frame.deleted) frame.deleted = host::check(PyList_New(0));
      host::check_status(PyList_Append(frame.deleted.get(), key));
      continue;
    }
    frame.common = true;
    if (x == y) continue;
    Ref held_y = Ref::borrow(y);
    if (PyDict_CheckExact(x) && PyDict_CheckExact(y)) {
      frame.pending_key = std::move(held_key);
      push(x, y);  // may move `frame`; it is not used again in this round
      continue;
    }
    Ref entry = leaf_diff(x, y, markers);
    if (entry) host::check_status(PyDict_SetItem(frame.result.get(), key, entry.get()));
  }
  return finished ? std::move(finished) : host::check(PyDict_New());
}

}  // namespace vornik::structdiff
