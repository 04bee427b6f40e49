// The commands of the engine, each from the payload text to the output text
// of the success envelope or the engine error.
//
// Each command decodes its records straight from the reader's events instead
// of building the payload's value tree first: a tree costs an allocation per
// member and, for a large batch, several times the payload in memory. The
// answers are the same as parsing first: the reader checks the whole text
// and a syntax error anywhere wins over every decoding error.
#pragma once

#include <optional>
#include <string_view>

#include "json/error.hpp"
#include "records/engine_error.hpp"

namespace quillmarrow {

// "score": one RetentionInput from the whole payload; the result is
// {"boost","retention","stability"}.
CommandResult run_score(std::string_view payload);
// "tier": one TierInput from the whole payload; the result is one decision
// {"action","retention","tier"}.
CommandResult run_tier(std::string_view payload);
// "tier-batch": one TierInput per element of the payload's "items" array; the
// result is {"decisions":[...]} in element order. The first element that does
// not decode fails the whole batch with its message alone.
CommandResult run_tier_batch(std::string_view payload);

// The payload's first syntax error, if any, for a command that reads nothing.
std::optional<JsonError> check_syntax(std::string_view payload);

}  // namespace quillmarrow
