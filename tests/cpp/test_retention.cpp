#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "reference/results.hpp"
#include "reference/write.hpp"
#include "scoring/retention.hpp"

namespace quillmarrow {
namespace {

struct ScoreCase {
  const char* name;
  RetentionInput input;
  double retention, stability, boost;
  double tolerance;  // 0: every value exact
};

// Known scores; integral and boundary values are exact, the others depend on
// the last bits of log and exp and are checked to the digits shown.
const ScoreCase kScoreCases[] = {
    {"all zero", {0, 0, 0, 0}, 1.0, 0.001, 1.0, 0},
    {"negatives and out-of-range weights clamp", {-3, -2, 2, -1}, 1.3, 0.001, 1.3, 0},
    {"exp underflows to zero", {1, 0, 0, 0}, 0.0, 0.001, 1.0, 0},
    {"retention capped at ten", {0, 100, 1, 1}, 10.0, 4.6151205168, 46.55, 1e-10},
    {"stability ln 4", {2, 3, 0.5, 0.2}, 0.60254, 1.3862943611, 2.55, 1e-5},
    {"weights on their bounds", {0, 0, 1, 0}, 1.3, 0.001, 1.3, 0},
    {"negative zero inputs", {-0.0, -0.0, -0.0, -0.0}, 1.0, 0.001, 1.0, 0},
    {"days at the largest double",
     {std::numeric_limits<double>::max(), 1, 0, 0},
     0.0,
     0.6931471805599453,
     1.45,
     1e-16},
    {"count below the stability floor", {0, 0.001, 0, 0}, 1.00045, 0.001, 1.00045, 1e-15},
    {"count just above the stability floor",
     {0, 0.0011, 0, 0},
     1.000495,
     0.0010993954,
     1.000495,
     1e-10},
    // The weighted terms are added count, then importance, then frequency:
    // the other order gives 3.715 here.
    {"boost adds importance before frequency",
     {0, 5, 0.8, 0.9},
     3.7150000000000003,
     1.791759469228055,
     3.7150000000000003,
     0},
};

TEST(RetentionScore, KnownValues) {
  for (const ScoreCase& c : kScoreCases) {
    SCOPED_TRACE(c.name);
    const RetentionScore s = compute_retention_score(c.input);
    if (c.tolerance == 0) {
      EXPECT_EQ(s.retention, c.retention);
      EXPECT_EQ(s.stability, c.stability);
      EXPECT_EQ(s.boost, c.boost);
    } else {
      EXPECT_NEAR(s.retention, c.retention, c.tolerance);
      EXPECT_NEAR(s.stability, c.stability, c.tolerance);
      EXPECT_NEAR(s.boost, c.boost, c.tolerance);
    }
  }
}

TEST(RetentionScore, ExactValuesWhereTheArithmeticIsExact) {
  // 0.45 * 100 + 1 + 0.3 + 0.25 rounds to the double nearest 46.55, and
  // 0.45 * 3 + 1 + 0.15 + 0.05 to the double nearest 2.55.
  EXPECT_EQ(compute_retention_score({0, 100, 1, 1}).boost, 46.55);
  EXPECT_EQ(compute_retention_score({0, 100, 1, 1}).retention, 10.0);
  EXPECT_EQ(compute_retention_score({2, 3, 0.5, 0.2}).boost, 2.55);
  EXPECT_EQ(compute_retention_score({2, 3, 0.5, 0.2}).stability, std::log(4.0));
}

TEST(RetentionScore, BoostAddsOneFirstThenTheWeightsInOrder) {
  const RetentionScore s = compute_retention_score({0, 1, 0.5, 0.5});
  const double below = std::nextafter(1.725, 0.0);
  EXPECT_EQ(s.boost, below);
  EXPECT_EQ(s.boost, 1.7249999999999999);
  EXPECT_NE(s.boost, 1.725);
  // Summing the weighted terms first and adding 1 last would give 1.725.
  EXPECT_EQ(((1 * 0.45 + 0.5 * 0.3) + 0.5 * 0.25) + 1.0, 1.725);
  EXPECT_EQ(s.retention, below);  // decay is exactly 1 at day 0
  EXPECT_NEAR(s.stability, 0.6931471805599453, 1e-16);
}

TEST(RetentionScore, CapAppliesToHugeCounts) {
  const RetentionScore s = compute_retention_score({1, 1e300, 0, 0});
  EXPECT_EQ(s.retention, 10.0);
  EXPECT_NEAR(s.stability, 690.77552789821368, 1e-12);
  EXPECT_GT(s.boost, 4.4e299);
}

TEST(RetentionScore, IntegralInputsMatchTheirFractionalSpelling) {
  // The decoder turns 3 and 3.0 into the same double; nothing downstream
  // may tell them apart.
  const RetentionScore a = compute_retention_score({3, 2, 0, 1});
  const RetentionScore b = compute_retention_score({3.0, 2.0, 0.0, 1.0});
  EXPECT_EQ(a.retention, b.retention);
  EXPECT_EQ(a.stability, b.stability);
  EXPECT_EQ(a.boost, b.boost);
}

TEST(RetentionScore, StaysWithinItsBoundsForAnyFiniteInput) {
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> days(-50.0, 400.0);
  std::uniform_real_distribution<double> count(-5.0, 2000.0);
  std::uniform_real_distribution<double> weight(-1.0, 2.0);
  for (int n = 0; n < 2000; ++n) {
    const RetentionInput in{days(rng), count(rng), weight(rng), weight(rng)};
    const RetentionScore s = compute_retention_score(in);
    const double c = in.retrieval_count > 0 ? in.retrieval_count : 0.0;
    ASSERT_GE(s.retention, 0.0);
    ASSERT_LE(s.retention, 10.0);
    ASSERT_GE(s.stability, 0.001);
    ASSERT_GE(s.boost, 1.0);
    ASSERT_LE(s.boost, 1.55 + 0.45 * c + 1e-9);
    if (in.days_since_recall <= 0) {
      ASSERT_EQ(s.retention, std::min(s.boost, 10.0));
    }
  }
}

TEST(RetentionScore, JsonObjectHoldsTheThreeDoubles) {
  const RetentionScore score{0.5, 0.001, 1.0};
  const JsonValue value = retention_score_to_json(score);
  const JsonObject* object = value.as_object();
  ASSERT_NE(object, nullptr);
  ASSERT_EQ(object->size(), 3u);
  const struct {
    const char* key;
    double expected;
  } members[] = {{"boost", 1.0}, {"retention", 0.5}, {"stability", 0.001}};
  for (const auto& m : members) {
    SCOPED_TRACE(m.key);
    const JsonValue* member = object->find(m.key);
    ASSERT_NE(member, nullptr);
    // Always a floating-point number, so 1.0 stays 1.0 in the output.
    EXPECT_EQ(*member, JsonValue(JsonNumber::from_double(m.expected)));
  }
  EXPECT_EQ(write_json(retention_score_to_json(compute_retention_score({0, 0, 0, 0}))),
            R"({"boost":1.0,"retention":1.0,"stability":0.001})");
}

}  // namespace
}  // namespace quillmarrow
