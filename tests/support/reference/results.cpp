#include "reference/results.hpp"

#include <string>
#include <utility>

namespace quillmarrow {

// The object keeps its members sorted by key, so the insertion order does not
// show in the output; inserting in key order only saves moving members.
JsonValue retention_score_to_json(const RetentionScore& score) {
  JsonObject object;
  object.insert("boost", JsonValue::from_double(score.boost));
  object.insert("retention", JsonValue::from_double(score.retention));
  object.insert("stability", JsonValue::from_double(score.stability));
  return JsonValue(std::move(object));
}

JsonValue tier_decision_to_json(const TierDecision& decision) {
  JsonObject object;
  object.insert("action", JsonValue(std::string(action_name(decision.action))));
  object.insert("retention", JsonValue::from_double(decision.retention));
  object.insert("tier", JsonValue(std::string(tier_name(decision.tier()))));
  return JsonValue(std::move(object));
}

JsonValue success_envelope(JsonValue result) {
  JsonObject envelope;
  envelope.insert("ok", JsonValue(true));
  envelope.insert("result", std::move(result));
  return JsonValue(std::move(envelope));
}

}  // namespace quillmarrow
