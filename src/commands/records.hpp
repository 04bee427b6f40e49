// The input records of the commands, decoded from a parsed JSON value in
// object form (members named after the fields) or array form (values in
// declared order).
#pragma once

#include <variant>

#include "json/error.hpp"
#include "json/value.hpp"

namespace quillmarrow {

struct TierInput {
  double days_since_recall = 0.0;
  double retrieval_count = 0.0;
  double importance = 0.0;
  double frequency = 0.0;
  bool is_procedural = false;
  bool keep_forever = false;
};

struct RetentionInput {
  double days_since_recall = 0.0;
  double retrieval_count = 0.0;
  double importance = 0.0;
  double frequency = 0.0;
};

std::variant<TierInput, JsonError> decode_tier_input(const JsonValue& value);
std::variant<RetentionInput, JsonError> decode_retention_input(const JsonValue& value);

}  // namespace quillmarrow
