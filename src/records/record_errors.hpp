// The record-decoding errors: a well-formed payload whose value has the wrong
// shape for an input record. Each is the engine's error with its message
// alone (no position).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "records/engine_error.hpp"
#include "records/field_value.hpp"

namespace quillmarrow {

// "invalid type: <value>, expected <expected>"
EngineError invalid_type(const FieldValue& value, std::string_view expected);
// "invalid length <length>, expected <expected>"
EngineError invalid_length(std::size_t length, std::string_view expected);
// "missing field `<field>`"
EngineError missing_field(std::string_view field);

// The words that name a value inside an error: "null", "boolean `true`",
// "integer `5`", "floating point `1.5`", "string \"abc\"", "sequence", "map".
std::string describe_field(const FieldValue& value);
// The quoted form of a string used by describe_field.
std::string quote_string(std::string_view text);

}  // namespace quillmarrow
