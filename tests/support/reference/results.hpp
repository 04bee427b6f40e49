// The reference road's results: the scoring functions' results and the
// success envelope as value trees, for write_json to turn into the text the
// engine must produce.
#pragma once

#include "reference/value.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {

JsonValue retention_score_to_json(const RetentionScore& score);
JsonValue tier_decision_to_json(const TierDecision& decision);
// {"ok":true,"result":result}
JsonValue success_envelope(JsonValue result);

}  // namespace quillmarrow
