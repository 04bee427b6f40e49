#include "scoring/tier.hpp"

#include <string>
#include <utility>

#include "scoring/retention.hpp"

namespace quillmarrow {

namespace {

constexpr double kPinnedRetention = 1.0;
constexpr double kRecentLimitDays = 7.0;
constexpr double kProceduralCount = 3.0;
constexpr double kStrongRetention = 0.8;
constexpr double kReviewWindowDays = 30.0;
constexpr double kReviewRetention = 0.65;
constexpr double kArchiveAgeDays = 180.0;
constexpr double kWeakRetention = 0.4;

// Each action always goes with the same tier.
TierDecision decide(std::string_view action, Tier tier, double retention) {
  return TierDecision{tier, action, retention};
}

}  // namespace

std::string_view tier_name(Tier tier) {
  switch (tier) {
    case Tier::hot:
      return "hot";
    case Tier::warm_episodic:
      return "warm_episodic";
    case Tier::warm_semantic:
      return "warm_semantic";
    case Tier::warm_procedural:
      return "warm_procedural";
    case Tier::cold:
      return "cold";
  }
  return "cold";
}

// Pinned items short-circuit. Otherwise the retention score is computed by
// the same routine as the "score" command, so both report bit-identical
// values, and the tests run in a fixed order on the days and count as
// received (not clamped); the first that holds decides.
TierDecision classify_tier(const TierInput& input) {
  if (input.keep_forever) return decide("keep_forever_tag", Tier::warm_semantic, kPinnedRetention);

  const double days = input.days_since_recall;
  const double count = input.retrieval_count;
  const double retention =
      compute_retention_score(RetentionInput{days, count, input.importance, input.frequency})
          .retention;

  if (days <= kRecentLimitDays && count > 0.0) {
    return decide("inject_to_prompt", Tier::hot, retention);
  }
  if (count >= kProceduralCount && input.is_procedural) {
    return decide("keep_procedural", Tier::warm_procedural, retention);
  }
  if (retention >= kStrongRetention) {
    return decide("long_term_semantic", Tier::warm_semantic, retention);
  }
  if (days <= kReviewWindowDays && retention >= kReviewRetention) {
    return decide("spaced_repetition", Tier::warm_episodic, retention);
  }
  if (days >= kArchiveAgeDays || retention < kWeakRetention) {
    return decide("archive_on_demand", Tier::cold, retention);
  }
  return decide("maintain_warm", Tier::warm_episodic, retention);
}

// The object keeps its members sorted by key, so the insertion order does not
// show in the output; inserting in key order only saves moving members.
JsonValue tier_decision_to_json(const TierDecision& decision) {
  JsonObject object;
  object.insert("action", JsonValue(std::string(decision.action)));
  object.insert("retention", JsonValue::from_double(decision.retention));
  object.insert("tier", JsonValue(std::string(tier_name(decision.tier))));
  return JsonValue(std::move(object));
}

}  // namespace quillmarrow
