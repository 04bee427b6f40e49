#include "commands/commands.hpp"
#include "commands/records.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {

CommandOutput command_tier(const JsonValue& payload) {
  auto decoded = decode_tier_input(payload);
  if (const JsonError* error = std::get_if<JsonError>(&decoded)) return decoding_failure(*error);
  return tier_decision_to_json(classify_tier(std::get<TierInput>(decoded)));
}

}  // namespace quillmarrow
