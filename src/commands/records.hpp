// The input records of the commands, decoded from a parsed JSON value in
// object form (members named after the fields) or array form (values in
// declared order).
#pragma once

#include <variant>

#include "json/error.hpp"
#include "json/value.hpp"
#include "scoring/records.hpp"

namespace quillmarrow {

std::variant<TierInput, JsonError> decode_tier_input(const JsonValue& value);
std::variant<RetentionInput, JsonError> decode_retention_input(const JsonValue& value);

}  // namespace quillmarrow
