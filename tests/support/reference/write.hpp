// write_json: a JsonValue tree into compact JSON text.
#pragma once

#include <string>

#include "reference/value.hpp"

namespace quillmarrow {

// Compact text: no blanks, members in key order, strings escaped, doubles in
// their shortest round-trip form. Never fails.
std::string write_json(const JsonValue& value);
// Appends the compact text of value to out.
void append_json(std::string& out, const JsonValue& value);

}  // namespace quillmarrow
