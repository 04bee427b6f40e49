#include "reference/commands.hpp"

#include <string>
#include <utility>
#include <variant>

#include "reference/parse.hpp"
#include "reference/records.hpp"
#include "reference/results.hpp"
#include "reference/write.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {
namespace {

// A result's value, or the engine error.
using Outcome = std::variant<JsonValue, EngineError>;

Outcome tier_value(const JsonValue& payload) {
  auto decoded = decode_tier_input(payload);
  if (auto* error = std::get_if<EngineError>(&decoded)) return std::move(*error);
  return tier_decision_to_json(classify_tier(std::get<TierInput>(decoded)));
}

Outcome score_value(const JsonValue& payload) {
  auto decoded = decode_retention_input(payload);
  if (auto* error = std::get_if<EngineError>(&decoded)) return std::move(*error);
  return retention_score_to_json(compute_retention_score(std::get<RetentionInput>(decoded)));
}

// The payload must be an object whose "items" member is an array; each
// element decodes as a TierInput, the first that does not fails the batch;
// the decisions keep the elements' order.
Outcome batch_value(const JsonValue& payload) {
  const JsonObject* object = payload.as_object();
  const JsonValue* items = object != nullptr ? object->find("items") : nullptr;
  if (items == nullptr || items->as_array() == nullptr) {
    return EngineError{"missing required field: items"};
  }
  JsonArray decisions;
  for (const JsonValue& item : *items->as_array()) {
    Outcome one = tier_value(item);
    if (auto* error = std::get_if<EngineError>(&one)) return std::move(*error);
    decisions.push_back(std::move(std::get<JsonValue>(one)));
  }
  JsonObject result;
  result.insert("decisions", JsonValue(std::move(decisions)));
  return JsonValue(std::move(result));
}

}  // namespace

CommandResult run_command_through_tree(std::string_view command, std::string_view payload) {
  ParseResult parsed = parse_json(payload);
  if (const auto* error = std::get_if<JsonError>(&parsed)) {
    return EngineError{error_message(*error)};
  }
  const JsonValue& value = std::get<JsonValue>(parsed);
  Outcome outcome;
  if (command == "tier") {
    outcome = tier_value(value);
  } else if (command == "tier-batch") {
    outcome = batch_value(value);
  } else if (command == "score") {
    outcome = score_value(value);
  } else {
    return EngineError{"unknown command: " + std::string(command)};
  }
  if (auto* error = std::get_if<EngineError>(&outcome)) return std::move(*error);
  return write_json(success_envelope(std::move(std::get<JsonValue>(outcome))));
}

}  // namespace quillmarrow
