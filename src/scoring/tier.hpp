// Tier classification: storage tier and recommended action of one item.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "scoring/records.hpp"

namespace quillmarrow {

// The storage tiers, in their declared order (the order never shows in the
// JSON output, only the names; the column functions report these codes).
enum class Tier : unsigned char { hot, warm_episodic, warm_semantic, warm_procedural, cold };
inline constexpr std::size_t kTierCount = 5;

// The recommended actions. Each action always goes with one tier, so a
// decision records only its action and the tier follows from the table below.
enum class Action : unsigned char {
  keep_forever_tag,
  inject_to_prompt,
  keep_procedural,
  long_term_semantic,
  spaced_repetition,
  maintain_warm,
  archive_on_demand,
};
inline constexpr std::size_t kActionCount = 7;

inline constexpr std::array<std::string_view, kTierCount> kTierNames = {
    "hot", "warm_episodic", "warm_semantic", "warm_procedural", "cold"};

struct ActionEntry {
  std::string_view name;
  Tier tier;
};

// Indexed by Action: its name and the one tier it leads to.
inline constexpr std::array<ActionEntry, kActionCount> kActions = {{
    {"keep_forever_tag", Tier::warm_semantic},
    {"inject_to_prompt", Tier::hot},
    {"keep_procedural", Tier::warm_procedural},
    {"long_term_semantic", Tier::warm_semantic},
    {"spaced_repetition", Tier::warm_episodic},
    {"maintain_warm", Tier::warm_episodic},
    {"archive_on_demand", Tier::cold},
}};

constexpr std::string_view tier_name(Tier tier) { return kTierNames[static_cast<std::size_t>(tier)]; }
constexpr std::string_view action_name(Action action) {
  return kActions[static_cast<std::size_t>(action)].name;
}
constexpr Tier tier_of(Action action) { return kActions[static_cast<std::size_t>(action)].tier; }

struct TierDecision {
  Action action = Action::archive_on_demand;
  double retention = 0.0;

  constexpr Tier tier() const { return tier_of(action); }
};

TierDecision classify_tier(const TierInput& input);

}  // namespace quillmarrow
