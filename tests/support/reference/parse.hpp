// parse_json: strict JSON text (RFC 8259) into a JsonValue tree, from the
// same reader events the engine decodes its records from.
#pragma once

#include <string_view>
#include <variant>

#include "json/error.hpp"
#include "reference/value.hpp"

namespace quillmarrow {

using ParseResult = std::variant<JsonValue, JsonError>;

// Reads exactly one JSON value from the whole text; only blanks (space, tab,
// line feed, carriage return) may follow it. Any byte string is safe input.
ParseResult parse_json(std::string_view text);

}  // namespace quillmarrow
