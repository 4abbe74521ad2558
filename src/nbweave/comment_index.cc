#include "nbweave/comment_index.h"

#include <algorithm>
#include <bit>
#include <optional>
#include <utility>

namespace vornik::nbweave {
namespace {

using host::Handle;
using host::Ref;

// Nesting beyond this is left to the list's own comparison.
constexpr int kMaxDepth = 64;

std::size_t combine(std::size_t seed, std::size_t value) {
  return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6U) + (seed >> 2U));
}

// A hash equal for any two values that `==` finds equal, for the values a parsed document
// holds: exact dicts with scalar keys, exact lists, str, int, bool, float and None. Numbers take
// the host's own hash, so that 1, 1.0 and True agree and a NaN matches only itself, as the
// host's comparison does by identity; dicts hash their entries in any order. None for anything
// else, whose equality may run code of its own.
std::optional<std::size_t> plain_hash(PyObject* value, int depth) {
  if (value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) ||
      PyBool_Check(value) || PyFloat_CheckExact(value)) {
    const Py_hash_t hash = PyObject_Hash(value);
    if (hash == -1) host::throw_error_set();
    return static_cast<std::size_t>(hash);
  }
  if (depth == kMaxDepth) return std::nullopt;
  if (PyList_CheckExact(value)) {
    auto hash = static_cast<std::size_t>(PyList_GET_SIZE(value));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
      auto item = plain_hash(PyList_GET_ITEM(value, i), depth + 1);
      if (!item) return std::nullopt;
      hash = combine(hash, *item);
    }
    return hash;
  }
  if (PyDict_CheckExact(value)) {
    std::size_t sum = 0;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(value, &position, &key, &item) != 0) {
      if (!PyUnicode_CheckExact(key) && !PyLong_CheckExact(key) && !PyFloat_CheckExact(key) &&
          !PyBool_Check(key) && key != Py_None) {
        return std::nullopt;
      }
      auto item_hash = plain_hash(item, depth + 1);
      if (!item_hash) return std::nullopt;
      const Py_hash_t key_hash = PyObject_Hash(key);
      if (key_hash == -1) host::throw_error_set();
      sum += combine(static_cast<std::size_t>(key_hash), *item_hash);
    }
    return combine(sum, static_cast<std::size_t>(PyDict_GET_SIZE(value)) + 1);
  }
  return std::nullopt;
}

// Low bits that depend on every bit of the hash, for a table indexed by them.
std::size_t spread(std::size_t hash) {
  hash ^= hash >> 33U;
  hash *= 0xff51afd7ed558ccdULL;
  return hash ^ (hash >> 33U);
}

template <class Slot>
void insert_slot(std::vector<Slot>& slots, const Slot& slot) {
  const std::size_t mask = slots.size() - 1;
  std::size_t at = slot.hash & mask;
  while (slots[at].item != 0) at = (at + 1) & mask;
  slots[at] = slot;
}

bool in_list(Handle present, Handle comment) {
  return host::check_status(PySequence_Contains(present, comment)) != 0;
}

}  // namespace

bool CommentIndex::contains(Handle present, Handle comment) {
  if (!hashed_ || !PyList_CheckExact(present.get()) || !catch_up(present)) {
    return in_list(present, comment);
  }
  auto hash = plain_hash(comment.get(), 0);
  if (!hash) {
    // Its comparison may run code that changes what is indexed: the list answers from now on.
    hashed_ = false;
    return in_list(present, comment);
  }
  return contains_hashed(comment, spread(*hash));
}

bool CommentIndex::contains_hashed(Handle comment, std::size_t hash) const {
  if (slots_.empty()) return false;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask; slots_[at].item != 0; at = (at + 1) & mask) {
    if (slots_[at].hash != hash) continue;
    // As the list compares: its item first, the identity of the two included.
    PyObject* item = items_[slots_[at].item - 1].get();
    if (host::check_status(PyObject_RichCompareBool(item, comment, Py_EQ)) != 0) return true;
  }
  return false;
}

void CommentIndex::insert(std::size_t hash, std::size_t item) {
  if (2 * (items_.size() + 1) > slots_.size()) {
    const std::size_t size = std::bit_ceil(std::max<std::size_t>(16, 4 * (items_.size() + 1)));
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
    for (const Slot& slot : old) {
      if (slot.item != 0) insert_slot(slots_, slot);
    }
  }
  insert_slot(slots_, {hash, item + 1});
}

bool CommentIndex::catch_up(Handle present) {
  const Py_ssize_t size = PyList_GET_SIZE(present.get());
  if (present.get() != list_.get() || size < indexed_) {
    // Another list (the cell had none before its first comment): index it from the start.
    list_ = present.new_ref();
    indexed_ = 0;
    items_.clear();
    slots_.clear();
  }
  for (; indexed_ < size; ++indexed_) {
    PyObject* item = PyList_GET_ITEM(present.get(), indexed_);
    auto hash = plain_hash(item, 0);
    if (!hash) {
      // The list answers from now on.
      hashed_ = false;
      return false;
    }
    insert(spread(*hash), items_.size());
    items_.push_back(Ref::borrow(item));
  }
  return true;
}

}  // namespace vornik::nbweave
