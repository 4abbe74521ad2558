// A merged text as a cell's source lines, with the temporary paths in it replaced by the labels
// the caller chose.
#pragma once

#include <string_view>

#include "host/ref.h"

namespace vornik::sourcemerge {

// Whether a label was given: neither None nor empty.
bool label_given(host::Handle name);

// The lines of a merged text as git wrote it (UTF-8, line ends untouched: "\r\n" stays, a lone
// "\r" stays inside its line), each ending after its "\n", the last one without one when the
// text does not end in "\n"; in every line `current_path` is then replaced by `current_name`,
// and after that `incoming_path` by `incoming_name`, where the label is given.
host::Ref merged_lines(std::string_view bytes, host::Handle current_path, host::Handle current_name,
                       host::Handle incoming_path, host::Handle incoming_name);

// The same for a text that is already a host str.
host::Ref text_lines(host::Handle text, host::Handle current_path, host::Handle current_name,
                     host::Handle incoming_path, host::Handle incoming_name);

}  // namespace vornik::sourcemerge
