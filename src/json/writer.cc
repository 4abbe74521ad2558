#include "json/document.h"

namespace vornik::json {

void write(host::Handle, std::string&) {
  host::raise(PyExc_NotImplementedError, "write");
}

host::Ref dumps(host::Handle value) {
  std::string out;
  write(value, out);
  return host::make_str(out);
}

}  // namespace vornik::json
