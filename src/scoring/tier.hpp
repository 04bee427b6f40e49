// Tier classification: storage tier and recommended action of one item.
#pragma once

#include <string_view>

#include "commands/records.hpp"
#include "json/value.hpp"

namespace quillmarrow {

enum class Tier : unsigned char { hot, warm_episodic, warm_semantic, warm_procedural, cold };

std::string_view tier_name(Tier tier);

struct TierDecision {
  Tier tier = Tier::cold;
  // One of the seven action names; the texts are static, so the record owns
  // nothing and classification allocates nothing.
  std::string_view action;
  double retention = 0.0;
};

TierDecision classify_tier(const TierInput& input);
JsonValue tier_decision_to_json(const TierDecision& decision);

}  // namespace quillmarrow
