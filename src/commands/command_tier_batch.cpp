#include <utility>

#include "commands/commands.hpp"
#include "commands/records.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {

namespace {

// The payload must be an object whose member "items" (exact key) holds an
// array; anything else, null included, counts as the member being absent.
const JsonArray* find_items(const JsonValue& payload) {
  const JsonObject* object = payload.as_object();
  if (object == nullptr) return nullptr;
  const JsonValue* items = object->find("items");
  if (items == nullptr) return nullptr;
  return items->as_array();
}

}  // namespace

CommandOutput command_tier_batch(const JsonValue& payload) {
  const JsonArray* items = find_items(payload);
  if (items == nullptr) return EngineError{"missing required field: items"};

  JsonArray decisions;
  decisions.reserve(items->size());
  for (const JsonValue& item : *items) {
    auto decoded = decode_tier_input(item);
    if (const JsonError* error = std::get_if<JsonError>(&decoded)) return decoding_failure(*error);
    decisions.push_back(tier_decision_to_json(classify_tier(std::get<TierInput>(decoded))));
  }

  JsonObject result;
  result.insert("decisions", JsonValue(std::move(decisions)));
  return JsonValue(std::move(result));
}

}  // namespace quillmarrow
