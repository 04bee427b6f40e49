#include "scoring/tier.hpp"

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

}  // namespace

// Pinned items short-circuit. Otherwise the retention score is computed by
// the same routine as the "score" command, so both report bit-identical
// values, and the tests run in a fixed order on the days and count as
// received (not clamped); the first that holds decides.
TierDecision classify_tier(const TierInput& input) {
  if (input.keep_forever) return {Action::keep_forever_tag, kPinnedRetention};

  const double days = input.days_since_recall;
  const double count = input.retrieval_count;
  const double retention =
      compute_retention_score(RetentionInput{days, count, input.importance, input.frequency})
          .retention;

  if (days <= kRecentLimitDays && count > 0.0) return {Action::inject_to_prompt, retention};
  if (count >= kProceduralCount && input.is_procedural) return {Action::keep_procedural, retention};
  if (retention >= kStrongRetention) return {Action::long_term_semantic, retention};
  if (days <= kReviewWindowDays && retention >= kReviewRetention) {
    return {Action::spaced_repetition, retention};
  }
  if (days >= kArchiveAgeDays || retention < kWeakRetention) {
    return {Action::archive_on_demand, retention};
  }
  return {Action::maintain_warm, retention};
}

}  // namespace quillmarrow
