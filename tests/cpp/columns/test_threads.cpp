// The column kernels on several threads: the same outputs and errors as on
// one, bit for bit, whatever the thread count and wherever the slices fall.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "columns/kernels.hpp"
#include "columns/slices.hpp"
#include "scoring/retention.hpp"

namespace quillmarrow {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t B = kBlockRows;

// --- Slices -----------------------------------------------------------------

struct SliceCase {
  std::size_t rows, threads;
  std::vector<RowRange> expected;
};

const SliceCase kSliceCases[] = {
    {0, 4, {{0, 0}}},
    {1, 4, {{0, 1}}},
    {B, 2, {{0, B}}},                                  // one block: one slice
    {B + 1, 2, {{0, B}, {B, B + 1}}},                  // a partial last block is a block
    {2 * B, 0, {{0, 2 * B}}},                          // 0 threads count as 1
    {2 * B, 8, {{0, B}, {B, 2 * B}}},                  // no more slices than blocks
    {5 * B + 7, 2, {{0, 3 * B}, {3 * B, 5 * B + 7}}},  // the first slice takes the odd block
    {7 * B, 3, {{0, 3 * B}, {3 * B, 5 * B}, {5 * B, 7 * B}}},
    {1000000, 1, {{0, 1000000}}},
};

TEST(Slices, WholeBlocksSharedOutEvenly) {
  for (const SliceCase& c : kSliceCases) {
    SCOPED_TRACE(std::to_string(c.rows) + " rows, " + std::to_string(c.threads) + " threads");
    const std::size_t count = slice_count(c.rows, c.threads);
    ASSERT_EQ(count, c.expected.size());
    for (std::size_t i = 0; i < count; ++i) {
      const RowRange range = slice_of(c.rows, count, i);
      EXPECT_EQ(range.begin, c.expected[i].begin) << "slice " << i;
      EXPECT_EQ(range.end, c.expected[i].end) << "slice " << i;
    }
  }
}

// Every row of every length is in exactly one slice, each slice but the
// last ends on a block boundary, and the slices differ by at most a block
// (counting a partial last block as one).
TEST(Slices, CoverEveryRowOnce) {
  for (std::size_t rows : {0u, 1u, 511u, 512u, 513u, 4095u, 4096u, 4097u, 100000u}) {
    for (std::size_t threads = 1; threads <= 9; ++threads) {
      const std::size_t count = slice_count(rows, threads);
      std::size_t next = 0, smallest = rows, largest = 0;
      for (std::size_t i = 0; i < count; ++i) {
        const RowRange range = slice_of(rows, count, i);
        ASSERT_EQ(range.begin, next) << rows << " rows, " << threads << " threads";
        if (i + 1 < count) {
          ASSERT_EQ(range.end % B, 0u);
        }
        const std::size_t blocks = (range.end - range.begin + B - 1) / B;
        smallest = std::min(smallest, blocks);
        largest = std::max(largest, blocks);
        next = range.end;
      }
      ASSERT_EQ(next, rows);
      ASSERT_LE(largest - std::min(smallest, largest), 1u);
    }
  }
}

TEST(Slices, EachSliceRunsOnItsOwnThread) {
  const std::size_t rows = 6 * B + 3;
  std::vector<int> visits(rows, 0);
  std::mutex mutex;
  std::set<std::thread::id> threads;
  run_in_slices(rows, 4, [&](RowRange range) {
    for (std::size_t r = range.begin; r < range.end; ++r) ++visits[r];  // disjoint ranges
    const std::lock_guard<std::mutex> lock(mutex);
    threads.insert(std::this_thread::get_id());
  });
  EXPECT_EQ(std::count(visits.begin(), visits.end(), 1), static_cast<long>(rows));
  EXPECT_EQ(threads.size(), 4u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 1u);  // the caller works a slice
}

// --- Rows -------------------------------------------------------------------

struct Rows {
  std::vector<double> days, counts, importance, frequency;
  std::vector<unsigned char> procedural, pinned;
  std::size_t size() const { return days.size(); }
};

// The greatest day whose retention is at least `level`, found by bisection
// on the scoring function itself: that day and the next double after it
// fall on either side of the threshold.
double last_day_at_or_above(double count, double importance, double frequency, double level) {
  double lo = 0, hi = 4000;
  auto score = [&](double d) {
    return compute_retention_score({d, count, importance, frequency}).retention;
  };
  if (score(lo) < level) return 0;
  while (std::nextafter(lo, hi) < hi) {
    const double mid = lo + (hi - lo) / 2;
    if (mid <= lo || mid >= hi) break;
    (score(mid) >= level ? lo : hi) = mid;
  }
  return lo;
}

// Random rows, rows on and beside the day marks 7, 30 and 180, and rows whose
// retention sits just above and just below 0.4, 0.65 and 0.8, shuffled.
Rows edge_rows(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<double> days_pool;
  for (double mark : {7.0, 30.0, 180.0, 0.0}) {
    days_pool.insert(days_pool.end(),
                     {mark, std::nextafter(mark, -kInf), std::nextafter(mark, kInf)});
  }
  struct Threshold {
    double days, count, importance, frequency;
  };
  std::vector<Threshold> thresholds;
  for (double count : {1.0, 4.0, 12.0, 0.25, 39.0}) {
    for (double level : {0.4, 0.65, 0.8}) {
      const double d = last_day_at_or_above(count, 0.5, 0.3, level);
      thresholds.push_back({d, count, 0.5, 0.3});
      thresholds.push_back({std::nextafter(d, kInf), count, 0.5, 0.3});
    }
  }
  Rows rows;
  for (std::size_t i = 0; i < n; ++i) {
    const double u = unit(rng);
    double d, c, imp = unit(rng) * 1.4 - 0.2, f = unit(rng) * 1.4 - 0.2;
    if (u < 0.2) {
      const Threshold& t = thresholds[rng() % thresholds.size()];
      d = t.days, c = t.count, imp = t.importance, f = t.frequency;
    } else if (u < 0.4) {
      d = days_pool[rng() % days_pool.size()];
      c = std::floor(unit(rng) * 40);
    } else {
      d = unit(rng) < 0.3 ? std::floor(unit(rng) * 400) : unit(rng) * 410 - 10;
      c = unit(rng) < 0.8 ? std::floor(unit(rng) * 40) : unit(rng) * 30 - 1;
    }
    rows.days.push_back(d);
    rows.counts.push_back(c);
    rows.importance.push_back(imp);
    rows.frequency.push_back(f);
    rows.procedural.push_back(static_cast<unsigned char>(rng() % 2));
    rows.pinned.push_back(static_cast<unsigned char>(rng() % 9 == 0));
  }
  return rows;
}

Column doubles(std::string_view name, const std::vector<double>& values) {
  return column_of(name, values.data(), values.size(), ElementKind::floating);
}
Column bytes(std::string_view name, const std::vector<unsigned char>& values) {
  return column_of(name, values.data(), values.size(), ElementKind::boolean);
}

TierColumns tier_input(const Rows& rows) {
  return TierColumns{
      doubles("days_since_recall", rows.days), doubles("retrieval_count", rows.counts),
      doubles("importance", rows.importance),  doubles("frequency", rows.frequency),
      bytes("is_procedural", rows.procedural), bytes("keep_forever", rows.pinned)};
}

ScoreColumns score_input(const Rows& rows) {
  return ScoreColumns{doubles("days_since_recall", rows.days),
                      doubles("retrieval_count", rows.counts),
                      doubles("importance", rows.importance), doubles("frequency", rows.frequency)};
}

// The outputs of one call as bytes (retentions by their bits), to compare whole.
struct TierAnswer {
  std::optional<std::string> error;
  std::vector<std::uint64_t> retention;
  std::vector<unsigned char> tier, action;
  bool operator==(const TierAnswer&) const = default;
};

TierAnswer tier_answer(const TierColumns& columns, std::size_t n, std::size_t threads) {
  std::vector<double> retention(n, -1.0);
  std::vector<unsigned char> tier(n, 0xee), action(n, 0xee);
  const auto error =
      tier_columns(columns, {retention.data(), tier.data(), action.data(), n}, threads);
  TierAnswer answer;
  if (error) {
    answer.error =
        std::string(error->kind == ColumnError::Kind::type ? "type: " : "value: ") + error->message;
    return answer;  // the outputs of a failed call are unspecified
  }
  for (double r : retention) answer.retention.push_back(std::bit_cast<std::uint64_t>(r));
  answer.tier = std::move(tier);
  answer.action = std::move(action);
  return answer;
}

struct ScoreAnswer {
  std::optional<std::string> error;
  std::vector<std::uint64_t> values;  // retention, stability, boost of each row
  bool operator==(const ScoreAnswer&) const = default;
};

ScoreAnswer score_answer(const ScoreColumns& columns, std::size_t n, std::size_t threads) {
  std::vector<double> retention(n, -1.0), stability(n, -1.0), boost(n, -1.0);
  const auto error =
      score_columns(columns, {retention.data(), stability.data(), boost.data(), n}, threads);
  ScoreAnswer answer;
  if (error) {
    answer.error = error->message;
    return answer;
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (double v : {retention[i], stability[i], boost[i]}) {
      answer.values.push_back(std::bit_cast<std::uint64_t>(v));
    }
  }
  return answer;
}

// Lengths on and beside the block and slice boundaries of 2 to 7 threads.
const std::size_t kLengths[] = {0,         1,     B - 1,     B,         B + 1,     2 * B - 1, 2 * B,
                                2 * B + 1, 3 * B, 3 * B + 1, 5 * B - 1, 7 * B + 5, 20000};

TEST(ColumnThreads, EveryThreadCountGivesTheSingleThreadAnswer) {
  const Rows all = edge_rows(20000, 41);
  for (std::size_t n : kLengths) {
    Rows rows = all;
    for (auto* v : {&rows.days, &rows.counts, &rows.importance, &rows.frequency}) v->resize(n);
    rows.procedural.resize(n);
    rows.pinned.resize(n);
    const TierAnswer tier_one = tier_answer(tier_input(rows), n, 1);
    const ScoreAnswer score_one = score_answer(score_input(rows), n, 1);
    ASSERT_FALSE(tier_one.error.has_value());
    ASSERT_EQ(tier_one.retention.size(), n);
    for (std::size_t threads : {2u, 3u, 4u, 7u, 64u}) {
      SCOPED_TRACE(std::to_string(n) + " rows, " + std::to_string(threads) + " threads");
      EXPECT_TRUE(tier_answer(tier_input(rows), n, threads) == tier_one);
      EXPECT_TRUE(score_answer(score_input(rows), n, threads) == score_one);
    }
  }
}

// The edge rows really sit on both sides of every threshold: the threaded
// comparison above would prove little on rows far from any.
TEST(ColumnThreads, EdgeRowsStraddleTheThresholds) {
  const Rows rows = edge_rows(20000, 41);
  std::set<int> sides;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const double r = compute_retention_score(
                         {rows.days[i], rows.counts[i], rows.importance[i], rows.frequency[i]})
                         .retention;
    const double levels[] = {0.4, 0.65, 0.8};
    for (int k = 0; k < 3; ++k) {
      if (std::fabs(r - levels[k]) < 1e-12) sides.insert(r >= levels[k] ? 2 * k + 1 : 2 * k);
    }
  }
  EXPECT_EQ(sides.size(), 6u);
}

// --- Errors -----------------------------------------------------------------

struct Bad {
  std::size_t column;  // 0-3 numbers, 4-5 flags
  std::size_t row;
  double value;
};

struct ErrorCase {
  const char* name;
  std::vector<Bad> bad;
  const char* message;
};

// 10 blocks over 4 threads: slices [0, 3B), [3B, 6B), [6B, 8B), [8B, 10B).
const ErrorCase kErrorCases[] = {
    {"nan in the last slice",
     {{0, 9 * B + 3, kNaN}},
     "column 'days_since_recall': row 4611 is nan, not a finite number"},
    {"infinity on a slice's first row",
     {{2, 6 * B, kInf}},
     "column 'importance': row 3072 is inf, not a finite number"},
    {"flag on the last row",
     {{5, 10 * B - 1, 2}},
     "column 'keep_forever': row 5119 is 2, not a flag (false, true, 0 or 1)"},
    {"the earlier column wins though its row is in a later slice",
     {{4, 5, 3}, {1, 8 * B + 1, -kInf}},
     "column 'retrieval_count': row 4097 is -inf, not a finite number"},
    {"the first row of a column wins though a later slice finishes first",
     {{3, 3 * B - 1, kNaN}, {3, 6 * B + 1, kNaN}, {3, 9 * B, kInf}},
     "column 'frequency': row 1535 is nan, not a finite number"},
    {"every slice has a bad value",
     {{1, 10, kNaN}, {0, 4 * B, kInf}, {0, 7 * B, kNaN}, {4, 9 * B, 9}},
     "column 'days_since_recall': row 2048 is inf, not a finite number"},
};

TEST(ColumnThreads, ErrorsAreTheSingleThreadErrors) {
  const std::size_t n = 10 * B;
  for (const ErrorCase& c : kErrorCases) {
    Rows rows = edge_rows(n, 5);
    std::vector<double>* numbers[] = {&rows.days, &rows.counts, &rows.importance, &rows.frequency};
    std::vector<unsigned char>* flags[] = {&rows.procedural, &rows.pinned};
    for (const Bad& bad : c.bad) {
      if (bad.column < 4) {
        (*numbers[bad.column])[bad.row] = bad.value;
      } else {
        (*flags[bad.column - 4])[bad.row] = static_cast<unsigned char>(bad.value);
      }
    }
    const TierAnswer one = tier_answer(tier_input(rows), n, 1);
    ASSERT_EQ(one.error, std::string("value: ") + c.message) << c.name;
    for (std::size_t threads : {2u, 3u, 4u, 10u}) {
      EXPECT_EQ(tier_answer(tier_input(rows), n, threads).error, one.error)
          << c.name << ", " << threads << " threads";
    }
    const bool numbers_bad =
        std::any_of(c.bad.begin(), c.bad.end(), [](const Bad& b) { return b.column < 4; });
    if (numbers_bad) {
      const ScoreAnswer score_one = score_answer(score_input(rows), n, 1);
      ASSERT_TRUE(score_one.error.has_value()) << c.name;
      for (std::size_t threads : {2u, 4u}) {
        EXPECT_EQ(score_answer(score_input(rows), n, threads).error, score_one.error) << c.name;
      }
    }
  }
}

// Type and length errors come before any thread starts, and do not depend on
// the thread count either.
TEST(ColumnThreads, ShapeErrorsAreTheSame) {
  const Rows rows = edge_rows(3 * B, 6);
  TierColumns short_counts = tier_input(rows);
  short_counts.retrieval_count.length -= 1;
  TierColumns float_flag = tier_input(rows);
  float_flag.keep_forever = doubles("keep_forever", rows.days);
  for (const TierColumns& columns : {short_counts, float_flag}) {
    const TierAnswer one = tier_answer(columns, 3 * B, 1);
    ASSERT_TRUE(one.error.has_value());
    EXPECT_EQ(tier_answer(columns, 3 * B, 3).error, one.error);
  }
}

}  // namespace
}  // namespace quillmarrow
