#include "commands/commands.hpp"
#include "commands/records.hpp"
#include "scoring/retention.hpp"

namespace quillmarrow {

CommandOutput command_score(const JsonValue& payload) {
  auto decoded = decode_retention_input(payload);
  if (const JsonError* error = std::get_if<JsonError>(&decoded)) return decoding_failure(*error);
  return retention_score_to_json(compute_retention_score(std::get<RetentionInput>(decoded)));
}

}  // namespace quillmarrow
