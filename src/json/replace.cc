#include "json/document.h"

namespace vornik::json {

void replace_file(host::Handle, std::string_view) {
  host::raise(PyExc_NotImplementedError, "replace_file");
}

}  // namespace vornik::json
