// The reference road's record decoders: an input record from a parsed value
// tree, in object form (members named after the fields) or array form (values
// in declared order). They fill the same record slots as the engine's
// commands, from a tree instead of reader events.
#pragma once

#include <string>
#include <variant>

#include "records/engine_error.hpp"
#include "records/field_value.hpp"
#include "reference/value.hpp"
#include "scoring/records.hpp"

namespace quillmarrow {

std::variant<TierInput, EngineError> decode_tier_input(const JsonValue& value);
std::variant<RetentionInput, EngineError> decode_retention_input(const JsonValue& value);

// A tree value as the record decoders see it (containers by kind only).
FieldValue field_value_of(const JsonValue& value);
// The words that name the value in a decoding error (describe_field).
std::string describe_value(const JsonValue& value);

}  // namespace quillmarrow
