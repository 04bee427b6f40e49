// The compact JSON text of one tier decision, written straight into an
// output buffer. It is byte for byte write_json(tier_decision_to_json(d)):
// members in key order action, retention, tier.
#pragma once

#include <string>

#include "scoring/tier.hpp"

namespace quillmarrow {

void append_tier_decision(std::string& out, const TierDecision& decision);

}  // namespace quillmarrow
