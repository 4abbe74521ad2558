#include "nbweave/merged_cells.h"

#include "host/items.h"

namespace vornik::nbweave {

using host::Ref;

MergedCells::MergedCells() : index_(host::check(PyDict_New())), names_(host::check(PyDict_New())) {}

void MergedCells::clear() {
  *this = MergedCells();
}

int MergedCells::find(PyObject* key) const {
  PyObject* number = PyDict_GetItemWithError(index_.get(), key);
  if (number == nullptr) {
    if (PyErr_Occurred()) host::throw_error_set();
    return -1;
  }
  return static_cast<int>(PyLong_AsLong(number));
}

PyObject* MergedCells::cell_for(PyObject* key) const {
  int entry = find(key);
  if (entry < 0) host::raise_key_error(key);
  return cell(entry);
}

void MergedCells::link_after(int entry, int anchor) {
  Entry& e = entries_[entry];
  if (anchor < 0) anchor = tail_;
  e.previous = anchor;
  e.next = anchor < 0 ? head_ : entries_[anchor].next;
  if (e.previous >= 0) {
    entries_[e.previous].next = entry;
  } else {
    head_ = entry;
  }
  if (e.next >= 0) {
    entries_[e.next].previous = entry;
  } else {
    tail_ = entry;
  }
  if (e.previous >= 0 && e.next >= 0) {
    double low = entries_[e.previous].rank;
    double high = entries_[e.next].rank;
    e.rank = low + (high - low) / 2;
    if (!(e.rank > low && e.rank < high)) renumber();
  } else if (e.previous >= 0) {
    e.rank = entries_[e.previous].rank + 1;
  } else if (e.next >= 0) {
    e.rank = entries_[e.next].rank - 1;
  } else {
    e.rank = 0;
  }
}

void MergedCells::unlink(int entry) {
  Entry& e = entries_[entry];
  if (e.previous >= 0) {
    entries_[e.previous].next = e.next;
  } else {
    head_ = e.next;
  }
  if (e.next >= 0) {
    entries_[e.next].previous = e.previous;
  } else {
    tail_ = e.previous;
  }
  e.previous = e.next = -1;
}

void MergedCells::renumber() {
  // Keeps the relative order, so the name sets stay sorted.
  double rank = 0;
  for (int entry = head_; entry >= 0; entry = entries_[entry].next) entries_[entry].rank = rank++;
}

int MergedCells::assign(PyObject* key, PyObject* cell, Version version) {
  int entry = find(key);
  if (entry >= 0) {
    entries_[entry].cell = Ref::borrow(cell);
    entries_[entry].version = version;
    return entry;
  }
  entry = static_cast<int>(entries_.size());
  Ref number = host::check(PyLong_FromLong(entry));
  host::check_status(PyDict_SetItem(index_.get(), key, number.get()));
  entries_.push_back({.key = Ref::borrow(key), .cell = Ref::borrow(cell), .version = version});
  link_after(entry, -1);
  return entry;
}

void MergedCells::remove(PyObject* key) {
  int entry = find(key);
  if (entry < 0) host::raise_key_error(key);
  forget_name(entry);
  host::check_status(PyDict_DelItem(index_.get(), key));
  unlink(entry);
  entries_[entry].cell.reset();
}

int MergedCells::insert_after(int anchor, PyObject* key, PyObject* cell, Version version) {
  int existing = find(key);
  if (existing < 0) {
    int entry = static_cast<int>(entries_.size());
    Ref number = host::check(PyLong_FromLong(entry));
    host::check_status(PyDict_SetItem(index_.get(), key, number.get()));
    entries_.push_back({.key = Ref::borrow(key), .cell = Ref::borrow(cell), .version = version});
    link_after(entry, anchor);
    return entry;
  }
  if (entries_[existing].rank <= entries_[anchor].rank) {
    // The key's first occurrence is its old place; the later pair's value wins.
    entries_[existing].cell = Ref::borrow(cell);
    entries_[existing].version = version;
    return existing;
  }
  // First occurring right after the anchor; its old pair, later in the list, keeps the value.
  // Its name stays; its place among the carriers of the name moves with it.
  Ref name = entries_[existing].name.clone();
  forget_name(existing);
  unlink(existing);
  link_after(existing, anchor);
  if (name) add_name(existing, std::move(name));
  return existing;
}

std::vector<int> MergedCells::order() const {
  std::vector<int> result;
  result.reserve(static_cast<size_t>(size()));
  for (int entry = head_; entry >= 0; entry = entries_[entry].next) result.push_back(entry);
  return result;
}

void MergedCells::forget_name(int entry) {
  Entry& e = entries_[entry];
  if (!e.name) return;
  PyObject* slot = PyDict_GetItemWithError(names_.get(), e.name.get());
  if (slot != nullptr) slots_[PyLong_AsSize_t(slot)].erase(entry);
  if (PyErr_Occurred()) host::throw_error_set();
  e.name.reset();
}

void MergedCells::name_entry(int entry, Ref name) {
  forget_name(entry);
  if (name) add_name(entry, std::move(name));
}

void MergedCells::add_name(int entry, Ref name) {
  PyObject* slot = PyDict_GetItemWithError(names_.get(), name.get());
  size_t number = 0;
  if (slot == nullptr) {
    if (PyErr_Occurred()) host::throw_error_set();
    number = slots_.size();
    Ref value = host::check(PyLong_FromSize_t(number));
    host::check_status(PyDict_SetItem(names_.get(), name.get(), value.get()));
    slots_.emplace_back(ByRank{&entries_});
  } else {
    number = PyLong_AsSize_t(slot);
  }
  slots_[number].insert(entry);
  entries_[entry].name = std::move(name);
}

void MergedCells::clear_names() {
  for (Entry& e : entries_) e.name.reset();
  slots_.clear();
  names_ = host::check(PyDict_New());
}

int MergedCells::entry_named(PyObject* name) const {
  PyObject* slot = PyDict_GetItemWithError(names_.get(), name);
  if (slot == nullptr) {
    if (PyErr_Occurred()) host::throw_error_set();
    return -1;
  }
  const NameSet& carriers = slots_[PyLong_AsSize_t(slot)];
  return carriers.empty() ? -1 : *carriers.rbegin();
}

}  // namespace vornik::nbweave
