#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>

#include "reference/results.hpp"
#include "reference/write.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {
namespace {

double after(double x) {
  return std::nextafter(x, std::numeric_limits<double>::infinity());
}
double before(double x) {
  return std::nextafter(x, -std::numeric_limits<double>::infinity());
}

struct ChainCase {
  const char* name;
  TierInput input;
  const char* action;
  Tier tier;
  double retention;
  double tolerance;  // 0: exact; negative: retention not checked here
};

// Each row names the test of the chain that decides it. D and R are tested as
// received; S is the retention score.
const ChainCase kChainCases[] = {
    // Test 1: D <= 7 and R > 0.
    {"D = 7 with a fractional count is recent",
     {7, 0.5, 0, 0},
     "inject_to_prompt",
     Tier::hot,
     3.9e-8,
     0.05e-8},
    {"D just above 7 is not recent", {after(7), 0.5, 0, 0}, "archive_on_demand", Tier::cold, 0, -1},
    {"R = 0 is never recent", {7, 0, 0, 0}, "archive_on_demand", Tier::cold, 0.0, 0},
    {"the smallest positive count is recent",
     {7, 5e-324, 0, 0},
     "inject_to_prompt",
     Tier::hot,
     0.0,
     0},
    {"recent beats procedural",
     {5, 5, 0.2, 0.1, true},
     "inject_to_prompt",
     Tier::hot,
     0.205,
     0.0005},
    {"recent with the retention capped", {3, 1e9, 1, 1}, "inject_to_prompt", Tier::hot, 10.0, 0},
    {"negative days with a positive count are recent",
     {-5, 1, 0, 0},
     "inject_to_prompt",
     Tier::hot,
     1.45,
     1e-15},
    // Test 2: R >= 3 and procedural.
    {"procedural at 10 days",
     {10, 5, 0.2, 0.1, true},
     "keep_procedural",
     Tier::warm_procedural,
     0.013,
     0.0005},
    {"R = 3 is procedural", {10, 3, 0, 0, true}, "keep_procedural", Tier::warm_procedural, 0, -1},
    {"R just below 3 is not procedural",
     {10, before(3), 0, 0, true},
     "archive_on_demand",
     Tier::cold,
     0,
     -1},
    {"not procedural without the flag",
     {10, 3, 0, 0, false},
     "archive_on_demand",
     Tier::cold,
     0,
     -1},
    {"procedural beats strong retention",
     {8, 1e6, 0, 0, true},
     "keep_procedural",
     Tier::warm_procedural,
     10.0,
     0},
    // Test 3: S >= 0.8.
    {"all zero", {0, 0, 0, 0}, "long_term_semantic", Tier::warm_semantic, 1.0, 0},
    {"strong at 8 days", {8, 1e6, 0, 0}, "long_term_semantic", Tier::warm_semantic, 10.0, 0},
    {"strong beats the archive age",
     {190, 1e7, 1, 1},
     "long_term_semantic",
     Tier::warm_semantic,
     10.0,
     0},
    {"negative and out-of-range inputs",
     {-5, 0, 2, -1},
     "long_term_semantic",
     Tier::warm_semantic,
     1.3,
     0},
    // Test 4: D <= 30 and S >= 0.65.
    {"review at 8 days",
     {8, 20, 0.5, 0.5},
     "spaced_repetition",
     Tier::warm_episodic,
     0.742,
     0.0005},
    {"D = 30 is in the review window",
     {30, 300, 0, 0},
     "spaced_repetition",
     Tier::warm_episodic,
     0.709,
     0.0005},
    {"D just above 30 is outside it",
     {after(30), 300, 0, 0},
     "maintain_warm",
     Tier::warm_episodic,
     0.709,
     0.0005},
    // Test 5: D >= 180 or S < 0.4.
    {"exp underflows to zero", {1, 0, 1, 1}, "archive_on_demand", Tier::cold, 0.0, 0},
    {"D = 180 archives a middling item",
     {180, 7e5, 0, 0},
     "archive_on_demand",
     Tier::cold,
     0.49,
     0.0005},
    {"D just above 180 archives it",
     {after(180), 7e5, 0, 0},
     "archive_on_demand",
     Tier::cold,
     0.49,
     0.0005},
    {"D just below 180 keeps it warm",
     {before(180), 7e5, 0, 0},
     "maintain_warm",
     Tier::warm_episodic,
     0.49,
     0.0005},
    // Test 6: none of the above.
    {"middling retention past the review window",
     {45, 1000, 0, 0},
     "maintain_warm",
     Tier::warm_episodic,
     0.669,
     0.0005},
};

TEST(ClassifyTier, DecisionChain) {
  for (const ChainCase& c : kChainCases) {
    SCOPED_TRACE(c.name);
    const TierDecision d = classify_tier(c.input);
    EXPECT_EQ(action_name(d.action), c.action);
    EXPECT_EQ(d.tier(), c.tier);
    if (c.tolerance == 0) {
      EXPECT_EQ(d.retention, c.retention);
    } else if (c.tolerance > 0) {
      EXPECT_NEAR(d.retention, c.retention, c.tolerance);
    }
  }
}

// Days and two importance values around a retention threshold: `at` scores
// exactly target, `below` scores the double just beneath it. Retention never
// decreases as importance grows (every step rounds monotonically), and with
// these counts one step of boost moves the product by at most one unit in the
// last place, so bisecting over the importance doubles in [0, 1] stops on
// target itself.
struct Straddle {
  double days;
  double at;
  double below;
};

Straddle straddle(double target, double count) {
  const double boost = count * 0.45 + 1.15;
  const double days = std::log(count + 1.0) * std::log(boost / target);
  auto score = [&](std::uint64_t bits) {
    return compute_retention_score({days, count, std::bit_cast<double>(bits), 0}).retention;
  };
  std::uint64_t lo = std::bit_cast<std::uint64_t>(0.0);
  std::uint64_t hi = std::bit_cast<std::uint64_t>(1.0);
  while (hi - lo > 1) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    (score(mid) >= target ? hi : lo) = mid;
  }
  return {days, std::bit_cast<double>(hi), std::bit_cast<double>(lo)};
}

struct ThresholdCase {
  const char* name;
  double target;
  double count;
  double min_days, max_days;  // where the constructed days must fall
  const char* action_at;
  const char* action_below;
};

const ThresholdCase kThresholdCases[] = {
    {"exactly 0.4 is not weak", 0.4, 1000, 30, 180, "maintain_warm", "archive_on_demand"},
    {"exactly 0.65 is due for review", 0.65, 30, 7, 30, "spaced_repetition", "maintain_warm"},
    {"exactly 0.8 is strong", 0.8, 30, 7, 30, "long_term_semantic", "spaced_repetition"},
    {"exactly 0.8 is strong past the archive age", 0.8, 1e6, 180, 1e9, "long_term_semantic",
     "archive_on_demand"},
};

TEST(ClassifyTier, RetentionExactlyOnEachThreshold) {
  for (const ThresholdCase& c : kThresholdCases) {
    SCOPED_TRACE(c.name);
    const Straddle s = straddle(c.target, c.count);
    ASSERT_GT(s.days, c.min_days);
    ASSERT_LT(s.days, c.max_days);
    const TierInput at{s.days, c.count, s.at, 0};
    const TierInput below{s.days, c.count, s.below, 0};
    // The construction itself: the scores sit exactly on the threshold and on
    // the double just beneath it.
    ASSERT_EQ(compute_retention_score({s.days, c.count, s.at, 0}).retention, c.target);
    ASSERT_EQ(compute_retention_score({s.days, c.count, s.below, 0}).retention, before(c.target));
    EXPECT_EQ(action_name(classify_tier(at).action), c.action_at);
    EXPECT_EQ(classify_tier(at).retention, c.target);
    EXPECT_EQ(action_name(classify_tier(below).action), c.action_below);
  }
}

TEST(ClassifyTier, PinnedItemsSkipEverything) {
  const TierInput pinned[] = {
      {1000, 0, 0, 0, true, true}, {0, 0, 0, 0, false, true},
      {3, 1e9, 1, 1, false, true}, {-5, -5, -5, -5, true, true},
      {1, 0, 0, 0, false, true},   {std::numeric_limits<double>::max(), 5, 2, 2, true, true},
  };
  for (const TierInput& in : pinned) {
    const TierDecision d = classify_tier(in);
    EXPECT_EQ(d.action, Action::keep_forever_tag);
    EXPECT_EQ(d.tier(), Tier::warm_semantic);
    EXPECT_EQ(d.retention, 1.0);
  }
}

// Each action always goes with the same tier.
const std::map<std::string, Tier> kActionTiers = {
    {"keep_forever_tag", Tier::warm_semantic},  {"inject_to_prompt", Tier::hot},
    {"keep_procedural", Tier::warm_procedural}, {"long_term_semantic", Tier::warm_semantic},
    {"spaced_repetition", Tier::warm_episodic}, {"maintain_warm", Tier::warm_episodic},
    {"archive_on_demand", Tier::cold},
};

TEST(ClassifyTier, RetentionIsTheScoreBitForBitAndActionsKeepTheirTier) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> days(-10.0, 250.0);
  std::uniform_real_distribution<double> log_count(-3.0, 8.0);
  std::uniform_real_distribution<double> weight(-0.5, 1.5);
  std::uniform_real_distribution<double> target(0.2, 1.2);
  std::map<std::string, int> seen;
  for (int n = 0; n < 3000; ++n) {
    const double count = n % 7 == 0 ? -1.0 : std::pow(10.0, log_count(rng));
    // Half of the records get the days that bring them near a random
    // retention, so the middle of the chain is reached as often as its ends.
    const double aimed = std::log(count + 1.0) * std::log((count * 0.45 + 1.0) / target(rng));
    const double since = n % 2 == 0 && count > 1 ? aimed : days(rng);
    const TierInput in{since, count, weight(rng), weight(rng), n % 3 == 0, n % 50 == 0};
    const TierDecision d = classify_tier(in);
    const std::string action(action_name(d.action));
    ++seen[action];
    ASSERT_EQ(kActionTiers.count(action), 1u) << action;
    ASSERT_EQ(d.tier(), kActionTiers.at(action)) << action;
    if (in.keep_forever) continue;
    const double score = compute_retention_score({in.days_since_recall, in.retrieval_count,
                                                  in.importance, in.frequency})
                             .retention;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(d.retention), std::bit_cast<std::uint64_t>(score));
  }
  // The inputs reach every action, so the property covers the whole chain.
  EXPECT_EQ(seen.size(), kActionTiers.size());
}

TEST(TierName, EveryTier) {
  const std::pair<Tier, const char*> names[] = {{Tier::hot, "hot"},
                                                {Tier::warm_episodic, "warm_episodic"},
                                                {Tier::warm_semantic, "warm_semantic"},
                                                {Tier::warm_procedural, "warm_procedural"},
                                                {Tier::cold, "cold"}};
  for (const auto& [tier, name] : names) EXPECT_EQ(tier_name(tier), name);
}

TEST(TierDecisionJson, ThreeMembersWithRetentionAsADouble) {
  const JsonValue value = tier_decision_to_json({Action::keep_procedural, 0.25});
  const JsonObject* object = value.as_object();
  ASSERT_NE(object, nullptr);
  ASSERT_EQ(object->size(), 3u);
  ASSERT_NE(object->find("action"), nullptr);
  ASSERT_NE(object->find("retention"), nullptr);
  ASSERT_NE(object->find("tier"), nullptr);
  EXPECT_EQ(*object->find("action"), JsonValue(std::string("keep_procedural")));
  EXPECT_EQ(*object->find("retention"), JsonValue(JsonNumber::from_double(0.25)));
  EXPECT_EQ(*object->find("tier"), JsonValue(std::string("warm_procedural")));

  const struct {
    TierInput input;
    const char* text;
  } written[] = {
      {{1000, 5, 0, 0, true, true},
       R"({"action":"keep_forever_tag","retention":1.0,"tier":"warm_semantic"})"},
      {{0, 0, 0, 0}, R"({"action":"long_term_semantic","retention":1.0,"tier":"warm_semantic"})"},
      {{1, 0, 0, 0}, R"({"action":"archive_on_demand","retention":0.0,"tier":"cold"})"},
      {{3, 1e9, 1, 1}, R"({"action":"inject_to_prompt","retention":10.0,"tier":"hot"})"},
  };
  for (const auto& w : written) {
    EXPECT_EQ(write_json(tier_decision_to_json(classify_tier(w.input))), w.text);
  }
}

}  // namespace
}  // namespace quillmarrow
