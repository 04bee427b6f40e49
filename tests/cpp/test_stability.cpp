#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "scoring/retention.hpp"
#include "scoring/stability.hpp"

namespace quillmarrow {
namespace {

// ln(count + 1), at least 0.001, computed here from the C library at run
// time: the count passes through a volatile, so no compiler evaluates it.
double direct_stability(double count) {
  volatile double opaque = count;
  const double stability = std::log(opaque + 1.0);
  return stability > 0.001 ? stability : 0.001;
}

std::uint64_t bits(double x) {
  return std::bit_cast<std::uint64_t>(x);
}

// Every whole count the table covers gives the bits of the direct logarithm,
// through stability_of and through the whole score.
TEST(Stability, EveryTableEntryIsTheDirectLogarithm) {
  for (std::size_t k = 0; k < kStabilityTableSize; ++k) {
    const double count = static_cast<double>(k);
    ASSERT_EQ(bits(stability_of(count)), bits(direct_stability(count))) << "count " << k;
    ASSERT_EQ(bits(compute_retention_score({1.5, count, 0.5, 0.5}).stability),
              bits(direct_stability(count)))
        << "count " << k;
  }
}

// The neighbours of every whole count, and counts outside the table, take
// the logarithm themselves and give its bits too.
TEST(Stability, OtherCountsTakeTheLogarithm) {
  for (std::size_t k = 0; k <= kStabilityTableSize; ++k) {
    const double count = static_cast<double>(k);
    for (const double other :
         {std::nextafter(count, -1.0), std::nextafter(count, 2e9), count + 0.5, count + 1e-9}) {
      ASSERT_EQ(bits(stability_of(other)), bits(direct_stability(other))) << "count " << other;
    }
  }
  const double table_end = static_cast<double>(kStabilityTableSize);
  const struct {
    double count;
    double expected;
  } cases[] = {
      {table_end - 1, direct_stability(table_end - 1)},  // the last entry
      {table_end, direct_stability(table_end)},          // just past the table
      {1e300, direct_stability(1e300)},
      {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()},
      {-0.0, 0.001},
      {-0.5, 0.001},  // below the floor
      {-1.0, 0.001},  // ln 0 is -inf
      {-2.0, 0.001},  // ln of a negative number is nan
      {std::numeric_limits<double>::quiet_NaN(), 0.001},
      {0.0011, direct_stability(0.0011)},  // just above the floor
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bits(stability_of(c.count)), bits(c.expected)) << "count " << c.count;
    EXPECT_EQ(bits(stability_of(c.count)), bits(stability_from_log(c.count)))
        << "count " << c.count;
  }
}

}  // namespace
}  // namespace quillmarrow
