#include "nbdelta/parent_links.h"

#include "nbdelta/access.h"
#include "nbdelta/bound.h"

namespace vornik::nbdelta {
namespace {

// Beyond this many parents a linear search costs more than a dict.
constexpr std::size_t kLinearLimit = 16;

host::Ref make_link(PyObject* id, PyObject* name) {
  const Keys& key = keys();
  host::Ref link = host::check(PyDict_New());
  host::check_status(PyDict_SetItem(link.get(), key.id, id));
  host::check_status(PyDict_SetItem(link.get(), key.name, name));
  return link;
}

}  // namespace

ParentNames::ParentNames(host::Handle parents) {
  const Keys& key = keys();
  auto read = [&](host::Handle parent) {
    host::Ref id = get_item(parent, key.id);
    host::Ref name = get_item(parent, key.name);
    add(std::move(id), std::move(name));
  };
  if (PyList_CheckExact(parents.get())) {
    // The host's list iteration: a list that changes meanwhile is read at its current length.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parents.get()); ++i) {
      read(host::Ref::borrow(PyList_GET_ITEM(parents.get(), i)));
    }
    return;
  }
  host::Ref iterator = host::check(PyObject_GetIter(parents));
  for (;;) {
    host::Ref parent = host::Ref::steal(PyIter_Next(iterator.get()));
    if (!parent) break;
    read(parent);
  }
  if (PyErr_Occurred() != nullptr) host::throw_error_set();
}

void ParentNames::add(host::Ref id, host::Ref name) {
  if (!dict_ && (!PyUnicode_CheckExact(id.get()) || entries_.size() >= kLinearLimit)) use_dict();
  if (dict_) {
    host::check_status(PyDict_SetItem(dict_.get(), id.get(), name.get()));
    return;
  }
  for (auto& [known, known_name] : entries_) {
    if (same_text(known.get(), id.get())) {
      known_name = std::move(name);
      return;
    }
  }
  entries_.emplace_back(std::move(id), std::move(name));
}

bool ParentNames::holds(PyObject* id) const {
  if (dict_) return host::check_status(PyDict_Contains(dict_.get(), id)) != 0;
  for (const auto& entry : entries_) {
    if (same_text(entry.first.get(), id)) return true;
  }
  return false;
}

void ParentNames::use_dict() {
  if (dict_) return;
  dict_ = host::check(PyDict_New());
  for (const auto& [id, name] : entries_) {
    host::check_status(PyDict_SetItem(dict_.get(), id.get(), name.get()));
  }
  entries_.clear();
}

host::Ref links(ParentNames& names, ParentNames& other, bool held_by_other) {
  if (names.dict_ || other.dict_) {
    // Ids other than texts are compared by the host's dict, with their own equality.
    names.use_dict();
    other.use_dict();
    host::Ref result = new_list();
    Py_ssize_t position = 0;
    PyObject* id = nullptr;
    PyObject* name = nullptr;
    while (PyDict_Next(names.dict_.get(), &position, &id, &name)) {
      host::Ref held_id = host::Ref::borrow(id);
      host::Ref held_name = host::Ref::borrow(name);
      if (other.holds(held_id.get()) != held_by_other) continue;
      host::check_status(PyList_Append(result.get(), make_link(id, name).get()));
    }
    return result;
  }
  std::vector<bool> chosen;
  chosen.reserve(names.entries_.size());
  Py_ssize_t count = 0;
  for (const auto& entry : names.entries_) {
    chosen.push_back(other.holds(entry.first.get()) == held_by_other);
    count += chosen.back() ? 1 : 0;
  }
  host::Ref result = host::check(PyList_New(count));
  Py_ssize_t index = 0;
  for (std::size_t i = 0; i < names.entries_.size(); ++i) {
    if (!chosen[i]) continue;
    const auto& [id, name] = names.entries_[i];
    PyList_SET_ITEM(result.get(), index++, make_link(id.get(), name.get()).release());
  }
  return result;
}

}  // namespace vornik::nbdelta
