#include "nbdelta/parent_links.h"

#include "nbdelta/access.h"

namespace vornik::nbdelta {
namespace {

host::Ref make_link(PyObject* id, PyObject* name) {
  host::Ref link = host::check(PyDict_New());
  host::check_status(PyDict_SetItem(link.get(), host::key<"id">(), id));
  host::check_status(PyDict_SetItem(link.get(), host::key<"name">(), name));
  return link;
}

// Links for the ids of `names` whose presence in `other` is `wanted`, in the order of `names`.
host::Ref links_from_dict(PyObject* names, PyObject* other, bool wanted) {
  host::Ref result = new_list();
  Py_ssize_t position = 0;
  PyObject* id = nullptr;
  PyObject* name = nullptr;
  while (PyDict_Next(names, &position, &id, &name)) {
    // The ids' own equality may run code that drops them from elsewhere: hold them.
    host::Ref held_id = host::Ref::borrow(id);
    host::Ref held_name = host::Ref::borrow(name);
    if ((host::check_status(PyDict_Contains(other, id)) != 0) != wanted) continue;
    host::check_status(PyList_Append(result.get(), make_link(id, name).get()));
  }
  return result;
}

}  // namespace

ParentNames::ParentNames(host::Handle parents) {
  auto read = [&](host::Handle parent) {
    host::Ref id = get_item(parent, host::key<"id">());
    host::Ref name = get_item(parent, host::key<"name">());
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
  if (!dict_ && !PyUnicode_CheckExact(id.get())) use_dict();
  if (!dict_) {
    for (std::size_t i = 0; i < count_; ++i) {
      if (same_text(entries_.at(i).first.get(), id.get())) {
        entries_.at(i).second = std::move(name);
        return;
      }
    }
    if (count_ < kInPlace) {
      entries_.at(count_++) = {std::move(id), std::move(name)};
      return;
    }
    use_dict();
  }
  host::check_status(PyDict_SetItem(dict_.get(), id.get(), name.get()));
}

bool ParentNames::holds(PyObject* id) const {
  for (std::size_t i = 0; i < count_; ++i) {
    if (same_text(entries_.at(i).first.get(), id)) return true;
  }
  return false;
}

void ParentNames::use_dict() {
  if (dict_) return;
  dict_ = host::check(PyDict_New());
  for (std::size_t i = 0; i < count_; ++i) {
    auto& [id, name] = entries_.at(i);
    host::check_status(PyDict_SetItem(dict_.get(), id.get(), name.get()));
    id.reset();
    name.reset();
  }
  count_ = 0;
}

ParentLinks::ParentLinks(ParentNames& current, ParentNames& previous) {
  if (current.dict_ || previous.dict_) {
    // Ids other than texts are compared by the host's dict, with their own equality.
    current.use_dict();
    previous.use_dict();
    added = links_from_dict(current.dict_.get(), previous.dict_.get(), false);
    removed = links_from_dict(previous.dict_.get(), current.dict_.get(), false);
    kept = links_from_dict(current.dict_.get(), previous.dict_.get(), true);
    return;
  }
  std::array<bool, ParentNames::kInPlace> current_kept{};
  std::array<bool, ParentNames::kInPlace> previous_kept{};
  Py_ssize_t kept_count = 0;
  for (std::size_t i = 0; i < current.count_; ++i) {
    current_kept.at(i) = previous.holds(current.entries_.at(i).first.get());
    kept_count += current_kept.at(i) ? 1 : 0;
  }
  Py_ssize_t removed_count = 0;
  for (std::size_t i = 0; i < previous.count_; ++i) {
    previous_kept.at(i) = current.holds(previous.entries_.at(i).first.get());
    removed_count += previous_kept.at(i) ? 0 : 1;
  }
  added = host::check(PyList_New(static_cast<Py_ssize_t>(current.count_) - kept_count));
  kept = host::check(PyList_New(kept_count));
  removed = host::check(PyList_New(removed_count));
  Py_ssize_t added_at = 0;
  Py_ssize_t kept_at = 0;
  for (std::size_t i = 0; i < current.count_; ++i) {
    const auto& [id, name] = current.entries_.at(i);
    PyObject* into = current_kept.at(i) ? kept.get() : added.get();
    Py_ssize_t& at = current_kept.at(i) ? kept_at : added_at;
    PyList_SET_ITEM(into, at++, make_link(id.get(), name.get()).release());
  }
  Py_ssize_t removed_at = 0;
  for (std::size_t i = 0; i < previous.count_; ++i) {
    if (previous_kept.at(i)) continue;
    const auto& [id, name] = previous.entries_.at(i);
    PyList_SET_ITEM(removed.get(), removed_at++, make_link(id.get(), name.get()).release());
  }
}

}  // namespace vornik::nbdelta
