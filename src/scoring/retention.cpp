#include "scoring/retention.hpp"

#include <cmath>

#include "scoring/stability.hpp"

namespace quillmarrow {

namespace {

constexpr double kCountWeight = 0.45;
constexpr double kImportanceWeight = 0.3;
constexpr double kFrequencyWeight = 0.25;
constexpr double kRetentionCap = 10.0;

// Limits a weight to [0, 1]; a value on a bound maps to itself.
double clamp_unit(double x) {
  if (x < 0.0) return 0.0;
  if (x > 1.0) return 1.0;
  return x;
}

}  // namespace

// Every step is one IEEE-754 operation in the order written here: the order
// of the additions in boost decides its last bit (1 + 0.45 + 0.15 + 0.125 is
// 1.7249999999999999, not 1.725), and that last bit can decide a tier at a
// threshold. The build forbids contraction into fused multiply-adds.
RetentionScore compute_retention_score(const RetentionInput& input) {
  const double count = input.retrieval_count > 0.0 ? input.retrieval_count : 0.0;
  const double stability = stability_of(count);
  const double days = input.days_since_recall > 0.0 ? input.days_since_recall : 0.0;
  // Underflows to 0.0 for long gaps, which is the intended result.
  const double decay = std::exp(-days / stability);
  const double importance = clamp_unit(input.importance);
  const double frequency = clamp_unit(input.frequency);
  double boost = count * kCountWeight + 1.0;
  boost = boost + importance * kImportanceWeight;
  boost = boost + frequency * kFrequencyWeight;
  double retention = decay * boost;
  if (retention < 0.0) retention = 0.0;
  if (retention > kRetentionCap) retention = kRetentionCap;
  return RetentionScore{retention, stability, boost};
}

}  // namespace quillmarrow
