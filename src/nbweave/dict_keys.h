// The keys of a dict in its order, held: the loops over them change other maps.
#pragma once

#include <vector>

#include "host/ref.h"

namespace vornik::nbweave {

inline std::vector<host::Ref> dict_keys(PyObject* map) {
  std::vector<host::Ref> result;
  result.reserve(static_cast<size_t>(PyDict_GET_SIZE(map)));
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(map, &position, &key, &value)) result.push_back(host::Ref::borrow(key));
  return result;
}

}  // namespace vornik::nbweave
