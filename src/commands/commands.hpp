// The single-record commands of the engine, each from the parsed payload to
// its result value. run_command selects one by name and wraps its result in
// the success envelope; "tier-batch" has its own streaming road
// (tier_batch_stream.hpp).
#pragma once

#include <variant>

#include "commands/run_command.hpp"
#include "json/error.hpp"
#include "json/value.hpp"

namespace quillmarrow {

using CommandOutput = std::variant<JsonValue, EngineError>;

// "score": one RetentionInput from the whole payload; the result is
// {"boost","retention","stability"}.
CommandOutput command_score(const JsonValue& payload);
// "tier": one TierInput from the whole payload; the result is one decision
// {"action","retention","tier"}.
CommandOutput command_tier(const JsonValue& payload);

// A decoding error reported as the command's failure: its message has no
// position, since it comes from an already parsed value.
inline EngineError decoding_failure(const JsonError& error) {
  return EngineError{error_message(error)};
}

}  // namespace quillmarrow
