#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "columns/kernels.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Column doubles(std::string_view name, const std::vector<double>& values) {
  return column_of(name, values.data(), values.size(), ElementKind::floating);
}
Column bytes(std::string_view name, const std::vector<unsigned char>& values) {
  return column_of(name, values.data(), values.size(), ElementKind::boolean);
}

struct Rows {
  std::vector<double> days, counts, importance, frequency;
  std::vector<unsigned char> procedural, pinned;
};

// Values that sit on and beside every threshold, and the rest at random.
Rows random_rows(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  const double day_marks[] = {0, 7, 30, 180, -1, 1e-300, 1e300};
  const double count_marks[] = {0, 3, 0.5, -2, 1e9};
  std::uniform_real_distribution<double> unit(0, 1);
  Rows rows;
  for (std::size_t i = 0; i < n; ++i) {
    const double u = unit(rng);
    double d = u < 0.3 ? day_marks[rng() % 7] : unit(rng) * 400 - 10;
    if (unit(rng) < 0.2) d = std::nextafter(d, unit(rng) < 0.5 ? -kInf : kInf);
    rows.days.push_back(d);
    rows.counts.push_back(unit(rng) < 0.4 ? count_marks[rng() % 5] : std::floor(unit(rng) * 40));
    rows.importance.push_back(unit(rng) * 1.4 - 0.2);
    rows.frequency.push_back(unit(rng) * 1.4 - 0.2);
    rows.procedural.push_back(static_cast<unsigned char>(rng() % 2));
    rows.pinned.push_back(static_cast<unsigned char>(rng() % 9 == 0));
  }
  return rows;
}

TierColumns tier_columns_of(const Rows& rows) {
  return TierColumns{
      doubles("days_since_recall", rows.days), doubles("retrieval_count", rows.counts),
      doubles("importance", rows.importance),  doubles("frequency", rows.frequency),
      bytes("is_procedural", rows.procedural), bytes("keep_forever", rows.pinned)};
}

struct TierOut {
  explicit TierOut(std::size_t n) : retention(n), tier(n), action(n) {}
  TierOutputs outputs() { return {retention.data(), tier.data(), action.data(), retention.size()}; }
  std::vector<double> retention;
  std::vector<unsigned char> tier, action;
};

// Every row is the decision classify_tier gives for the same record, bit for
// bit, across several blocks and a partial last block.
TEST(TierColumns, EveryRowIsTheScoringDecision) {
  const Rows rows = random_rows(1500, 7);
  TierOut out(1500);
  ASSERT_EQ(tier_columns(tier_columns_of(rows), out.outputs()), std::nullopt);
  for (std::size_t i = 0; i < rows.days.size(); ++i) {
    const TierDecision expected =
        classify_tier({rows.days[i], rows.counts[i], rows.importance[i], rows.frequency[i],
                       rows.procedural[i] != 0, rows.pinned[i] != 0});
    ASSERT_EQ(std::bit_cast<std::uint64_t>(out.retention[i]),
              std::bit_cast<std::uint64_t>(expected.retention))
        << "row " << i;
    ASSERT_EQ(out.action[i], static_cast<unsigned char>(expected.action)) << "row " << i;
    ASSERT_EQ(out.tier[i], static_cast<unsigned char>(expected.tier())) << "row " << i;
  }
}

TEST(ScoreColumns, EveryRowIsTheScore) {
  const Rows rows = random_rows(1100, 11);
  const std::size_t n = rows.days.size();
  std::vector<double> retention(n), stability(n), boost(n);
  const ScoreColumns columns{
      doubles("days_since_recall", rows.days), doubles("retrieval_count", rows.counts),
      doubles("importance", rows.importance), doubles("frequency", rows.frequency)};
  ASSERT_EQ(score_columns(columns, {retention.data(), stability.data(), boost.data(), n}),
            std::nullopt);
  for (std::size_t i = 0; i < n; ++i) {
    const RetentionScore s = compute_retention_score(
        {rows.days[i], rows.counts[i], rows.importance[i], rows.frequency[i]});
    ASSERT_EQ(std::bit_cast<std::uint64_t>(retention[i]),
              std::bit_cast<std::uint64_t>(s.retention));
    ASSERT_EQ(std::bit_cast<std::uint64_t>(stability[i]),
              std::bit_cast<std::uint64_t>(s.stability));
    ASSERT_EQ(std::bit_cast<std::uint64_t>(boost[i]), std::bit_cast<std::uint64_t>(s.boost));
  }
}

// Strided, single-precision and integer columns, and integer flags, give the
// answers of the same values as contiguous doubles and bytes.
TEST(TierColumns, OtherElementTypesReadAsTheirNearestDoubles) {
  const std::size_t n = 1300;
  const Rows rows = random_rows(n, 3);
  std::vector<double> strided_days(2 * n);
  std::vector<float> importance32(n);
  std::vector<std::int64_t> counts64(n);
  std::vector<std::uint16_t> frequency16(n);
  std::vector<std::int32_t> procedural32(n);
  std::vector<std::int8_t> pinned8(n);
  Rows expected = rows;
  for (std::size_t i = 0; i < n; ++i) {
    strided_days[2 * i] = rows.days[i];
    strided_days[2 * i + 1] = kNaN;  // between the elements: never read
    importance32[i] = static_cast<float>(rows.importance[i]);
    expected.importance[i] = static_cast<double>(importance32[i]);
    // Large integers round to the nearest double, as in JSON.
    counts64[i] = i % 7 == 0 ? (std::int64_t{1} << 53) + 1 : static_cast<std::int64_t>(i % 40);
    expected.counts[i] = static_cast<double>(counts64[i]);
    frequency16[i] = static_cast<std::uint16_t>(i % 3);
    expected.frequency[i] = static_cast<double>(frequency16[i]);
    procedural32[i] = rows.procedural[i];
    pinned8[i] = static_cast<std::int8_t>(rows.pinned[i]);
  }
  EXPECT_EQ(static_cast<double>(counts64[0]), 9007199254740992.0);
  TierColumns columns = tier_columns_of(expected);
  columns.days_since_recall.stride = 2 * sizeof(double);
  columns.days_since_recall.data = reinterpret_cast<const std::byte*>(strided_days.data());
  columns.retrieval_count =
      column_of("retrieval_count", counts64.data(), n, ElementKind::signed_integer);
  columns.importance = column_of("importance", importance32.data(), n, ElementKind::floating);
  columns.frequency = column_of("frequency", frequency16.data(), n, ElementKind::unsigned_integer);
  columns.is_procedural =
      column_of("is_procedural", procedural32.data(), n, ElementKind::signed_integer);
  columns.keep_forever = column_of("keep_forever", pinned8.data(), n, ElementKind::signed_integer);
  TierOut out(n), reference(n);
  ASSERT_EQ(tier_columns(columns, out.outputs()), std::nullopt);
  ASSERT_EQ(tier_columns(tier_columns_of(expected), reference.outputs()), std::nullopt);
  EXPECT_EQ(out.retention, reference.retention);
  EXPECT_EQ(out.tier, reference.tier);
  EXPECT_EQ(out.action, reference.action);
}

TEST(TierColumns, AbsentFlagsAreFalse) {
  Rows rows = random_rows(600, 5);
  TierColumns columns = tier_columns_of(rows);
  columns.is_procedural.reset();
  columns.keep_forever.reset();
  std::fill(rows.procedural.begin(), rows.procedural.end(), 0);
  std::fill(rows.pinned.begin(), rows.pinned.end(), 0);
  TierOut out(600), reference(600);
  ASSERT_EQ(tier_columns(columns, out.outputs()), std::nullopt);
  ASSERT_EQ(tier_columns(tier_columns_of(rows), reference.outputs()), std::nullopt);
  EXPECT_EQ(out.action, reference.action);
  EXPECT_EQ(out.retention, reference.retention);
}

TEST(TierColumns, ZeroRowsAreFine) {
  const Rows rows;
  TierOut out(0);
  EXPECT_EQ(tier_columns(tier_columns_of(rows), out.outputs()), std::nullopt);
}

struct BadCase {
  const char* name;
  std::size_t column;  // 0-3 numbers, 4-5 flags
  std::size_t row;
  double value;  // written into the column (flags: cast to a byte)
  ColumnError::Kind kind;
  const char* message;
};

const BadCase kBadCases[] = {
    {"nan", 0, 3, kNaN, ColumnError::Kind::value,
     "column 'days_since_recall': row 3 is nan, not a finite number"},
    {"infinity", 2, 0, kInf, ColumnError::Kind::value,
     "column 'importance': row 0 is inf, not a finite number"},
    {"negative infinity in a later block", 3, 1030, -kInf, ColumnError::Kind::value,
     "column 'frequency': row 1030 is -inf, not a finite number"},
    {"flag 2", 4, 700, 2, ColumnError::Kind::value,
     "column 'is_procedural': row 700 is 2, not a flag (false, true, 0 or 1)"},
    {"flag 255", 5, 1099, 255, ColumnError::Kind::value,
     "column 'keep_forever': row 1099 is 255, not a flag (false, true, 0 or 1)"},
};

TEST(TierColumns, BadValuesNameTheColumnAndRow) {
  for (const BadCase& c : kBadCases) {
    Rows rows = random_rows(1100, 1);
    std::vector<double>* numbers[] = {&rows.days, &rows.counts, &rows.importance, &rows.frequency};
    std::vector<unsigned char>* flags[] = {&rows.procedural, &rows.pinned};
    if (c.column < 4) {
      (*numbers[c.column])[c.row] = c.value;
    } else {
      (*flags[c.column - 4])[c.row] = static_cast<unsigned char>(c.value);
    }
    TierOut out(1100);
    const std::optional<ColumnError> error = tier_columns(tier_columns_of(rows), out.outputs());
    ASSERT_TRUE(error.has_value()) << c.name;
    EXPECT_EQ(error->kind, c.kind) << c.name;
    EXPECT_EQ(error->message, c.message) << c.name;
  }
}

// Several bad columns: the first in parameter order is named, at its first
// bad row, even when a later column goes bad in an earlier block.
TEST(TierColumns, TheFirstBadColumnInParameterOrderIsReported) {
  Rows rows = random_rows(2000, 2);
  rows.frequency[10] = kNaN;
  rows.counts[1900] = kInf;
  rows.counts[1500] = kNaN;
  rows.pinned[3] = 7;
  TierOut out(2000);
  const auto error = tier_columns(tier_columns_of(rows), out.outputs());
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "column 'retrieval_count': row 1500 is nan, not a finite number");
}

TEST(TierColumns, IntegerFlagsOtherThanZeroAndOneAreRefused) {
  const std::int64_t values[] = {0, 1, -1};
  std::vector<std::int64_t> flag(values, values + 3);
  Rows rows = random_rows(3, 4);
  TierColumns columns = tier_columns_of(rows);
  columns.keep_forever = column_of("keep_forever", flag.data(), 3, ElementKind::signed_integer);
  TierOut out(3);
  const auto error = tier_columns(columns, out.outputs());
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "column 'keep_forever': row 2 is -1, not a flag (false, true, 0 or 1)");
}

TEST(TierColumns, ShapesAndTypesAreCheckedFirst) {
  const Rows rows = random_rows(10, 9);
  std::vector<double> short_counts(9, 1.0);
  std::vector<double> floats(10, 1.0);
  std::vector<unsigned char> bools(10, 1);
  struct Case {
    const char* name;
    void (*change)(TierColumns&, const std::vector<double>&, const std::vector<double>&,
                   const std::vector<unsigned char>&);
    ColumnError::Kind kind;
    const char* message;
  };
  const Case cases[] = {
      {"short column",
       [](TierColumns& c, const std::vector<double>& s, const std::vector<double>&,
          const std::vector<unsigned char>&) { c.retrieval_count = doubles("retrieval_count", s); },
       ColumnError::Kind::value,
       "column 'retrieval_count' has 9 rows, but column 'days_since_recall' has 10"},
      {"float flag",
       [](TierColumns& c, const std::vector<double>&, const std::vector<double>& f,
          const std::vector<unsigned char>&) { c.keep_forever = doubles("keep_forever", f); },
       ColumnError::Kind::type,
       "column 'keep_forever' must hold booleans or the integers 0 and 1, not 8-byte "
       "floating-point numbers"},
      {"boolean number",
       [](TierColumns& c, const std::vector<double>&, const std::vector<double>&,
          const std::vector<unsigned char>& b) { c.importance = bytes("importance", b); },
       ColumnError::Kind::type,
       "column 'importance' must hold numbers (floating-point or integers), not 1-byte booleans"},
      {"half precision",
       [](TierColumns& c, const std::vector<double>&, const std::vector<double>&,
          const std::vector<unsigned char>&) { c.frequency.width = 2; },
       ColumnError::Kind::type,
       "column 'frequency' must hold numbers (floating-point or integers), not 2-byte "
       "floating-point numbers"},
  };
  for (const Case& c : cases) {
    TierColumns columns = tier_columns_of(rows);
    c.change(columns, short_counts, floats, bools);
    TierOut out(10);
    const auto error = tier_columns(columns, out.outputs());
    ASSERT_TRUE(error.has_value()) << c.name;
    EXPECT_EQ(error->kind, c.kind) << c.name;
    EXPECT_EQ(error->message, c.message) << c.name;
  }
  TierOut longer(11);
  const auto error = tier_columns(tier_columns_of(rows), longer.outputs());
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "the outputs have 11 rows, but the columns have 10");
}

}  // namespace
}  // namespace quillmarrow
