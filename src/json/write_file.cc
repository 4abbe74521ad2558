#include "json/document.h"

namespace vornik::json {

void write_file(host::Handle path, host::Handle value) {
  // The text form is pure ASCII, so the str's one-byte data are the file's bytes: no second
  // copy of a document that may be tens of megabytes.
  host::Ref text = dumps(value);
  const auto* bytes = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.get()));
  replace_file(path, {bytes, static_cast<size_t>(PyUnicode_GET_LENGTH(text.get()))});
}

}  // namespace vornik::json
