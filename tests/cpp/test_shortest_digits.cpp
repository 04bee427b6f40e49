// The two sources of shortest digits must agree digit for digit: the text of
// a double is laid out from them, so agreement means the same bytes whichever
// source a build uses. QM_DIGIT_SAMPLES sets the count of random bit patterns
// (10 million by default; a longer run: QM_DIGIT_SAMPLES=1000000000).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "json/shortest_digits.hpp"

namespace quillmarrow {
namespace {

double from_bits(std::uint64_t b) {
  return std::bit_cast<double>(b);
}

TEST(ShortestDigits, KnownValuesFromEachSource) {
  struct Case {
    double x;
    std::uint64_t significand;
    int exponent;
  };
  const Case cases[] = {
      {1.0, 1, 0},
      {0.1, 1, -1},
      {0.3, 3, -1},
      {0.1 + 0.2, 30000000000000004, -17},
      {100.0, 1, 2},
      {123.456, 123456, -3},
      {1e23, 1, 23},
      {9007199254740993.0, 9007199254740992, 0},
      // libstdc++'s plain form prints this integer exactly; the digits are
      // the shortest ones all the same.
      {18446744073709551616.0, 18446744073709552, 3},
      {std::numeric_limits<double>::max(), 17976931348623157, 292},
      {std::numeric_limits<double>::min(), 22250738585072014, -324},
      {std::numeric_limits<double>::denorm_min(), 5, -324},
      {2 * std::numeric_limits<double>::denorm_min(), 1, -323},
      {from_bits(0x000FFFFFFFFFFFFF), 2225073858507201, -323},
      // A power of two: the gap below is half the one above.
      {std::ldexp(1.0, 60), 1152921504606847, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x);
    const DecimalDigits t = shortest_digits_to_chars(c.x);
    EXPECT_EQ(t.significand, c.significand);
    EXPECT_EQ(t.exponent, c.exponent);
    const DecimalDigits s = shortest_digits(c.x);
    EXPECT_EQ(s.significand, c.significand);
    EXPECT_EQ(s.exponent, c.exponent);
  }
}

#if QM_HAVE_DRAGONBOX

std::uint64_t bits(double x) {
  return std::bit_cast<std::uint64_t>(x);
}

// Counts the x on which the two sources disagree, reporting the first few.
class Agreement {
 public:
  void check(double x) {
    x = std::fabs(x);
    if (!std::isfinite(x) || x == 0.0) return;
    ++checked_;
    const DecimalDigits a = shortest_digits_dragonbox(x);
    const DecimalDigits b = shortest_digits_to_chars(x);
    if (a.significand == b.significand && a.exponent == b.exponent) return;
    if (++disagreements_ <= 10) {
      ADD_FAILURE() << "bits 0x" << std::hex << bits(x) << std::dec << ": dragonbox "
                    << a.significand << "e" << a.exponent << ", to_chars " << b.significand << "e"
                    << b.exponent;
    }
  }
  // x and its neighbours up to `reach` steps away on either side.
  void check_around(double x, int reach) {
    const std::uint64_t b = bits(std::fabs(x));
    for (int i = -reach; i <= reach; ++i) {
      const std::uint64_t n = b + static_cast<std::uint64_t>(static_cast<std::int64_t>(i));
      if (n >> 63 == 0) check(from_bits(n));
    }
  }
  std::uint64_t checked() const { return checked_; }
  std::uint64_t disagreements() const { return disagreements_; }

 private:
  std::uint64_t checked_ = 0;
  std::uint64_t disagreements_ = 0;
};

std::uint64_t sample_count() {
  const char* text = std::getenv("QM_DIGIT_SAMPLES");
  return text != nullptr ? std::strtoull(text, nullptr, 10) : 10'000'000;
}

TEST(ShortestDigits, SourcesAgreeOnRandomBitPatterns) {
  const std::uint64_t wanted = sample_count();
  std::mt19937_64 rng(20261208);
  Agreement agreement;
  while (agreement.checked() < wanted && agreement.disagreements() < 10) {
    agreement.check(from_bits(rng()));
  }
  EXPECT_EQ(agreement.disagreements(), 0u);
  EXPECT_EQ(agreement.checked(), wanted);
}

TEST(ShortestDigits, SourcesAgreeOnBoundaryFamilies) {
  Agreement agreement;
  // Powers of two (where the gap below is half the gap above) and their
  // neighbours, across the whole range including the subnormal ones.
  for (int e = -1074; e <= 1023; ++e) agreement.check_around(std::ldexp(1.0, e), 3);
  // Powers of ten as read from text, and their neighbours.
  for (int e = -323; e <= 308; ++e) {
    char text[16];
    std::snprintf(text, sizeof text, "1e%d", e);
    agreement.check_around(std::strtod(text, nullptr), 3);
  }
  // The smallest subnormals one by one, the largest ones, and the smallest
  // normal and largest finite doubles with their neighbours.
  for (std::uint64_t b = 1; b <= 100000; ++b) agreement.check(from_bits(b));
  for (std::uint64_t b = 0x000FFFFFFFFFFFFF - 100000; b <= 0x000FFFFFFFFFFFFF; ++b) {
    agreement.check(from_bits(b));
  }
  agreement.check_around(std::numeric_limits<double>::min(), 1000);
  agreement.check_around(std::numeric_limits<double>::max(), 1000);
  // Integers: small ones, those around 2^53 where doubles stop holding every
  // integer, and those around 2^64 that libstdc++'s plain form writes exactly.
  for (int i = 1; i <= 100000; ++i) agreement.check(i);
  agreement.check_around(9007199254740992.0, 100000);
  agreement.check_around(18446744073709551616.0, 1000);
  // Random subnormals.
  std::mt19937_64 rng(53);
  for (int i = 0; i < 1000000; ++i) agreement.check(from_bits(rng() & 0x000FFFFFFFFFFFFF));
  EXPECT_EQ(agreement.disagreements(), 0u);
  EXPECT_GT(agreement.checked(), 1000000u);
}

#else

TEST(ShortestDigits, SourcesAgreeOnRandomBitPatterns) {
  GTEST_SKIP() << "this build has no Dragonbox (libdragonbox-dev, or -DQM_DRAGONBOX=OFF): "
                  "there is only one digit source to compare";
}

#endif

}  // namespace
}  // namespace quillmarrow
