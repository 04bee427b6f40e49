// The results of the scoring functions as JSON values.
#pragma once

#include "json/value.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {

JsonValue retention_score_to_json(const RetentionScore& score);
JsonValue tier_decision_to_json(const TierDecision& decision);

}  // namespace quillmarrow
