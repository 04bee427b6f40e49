#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "json/writer.hpp"

namespace quillmarrow {
namespace {

struct DoubleCase {
  double value;
  const char* expected;
};

TEST(FormatDouble, LayoutByDecimalExponent) {
  const DoubleCase cases[] = {
      // Zero keeps its sign.
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      // 0 <= E <= 15, integer values: digits, zeros, ".0".
      {1.0, "1.0"},
      {-1.0, "-1.0"},
      {100.0, "100.0"},
      {2.0, "2.0"},
      {123456.0, "123456.0"},
      {1e15, "1000000000000000.0"},
      {9007199254740992.0, "9007199254740992.0"},
      {9007199254740993.0, "9007199254740992.0"},
      {1234567890123456.0, "1234567890123456.0"},
      {9999999999999998.0, "9999999999999998.0"},
      // 0 <= E <= 15, fractions.
      {0.5 + 1.0, "1.5"},
      {12.5, "12.5"},
      {123.456, "123.456"},
      {-2.75, "-2.75"},
      {1.5e15 + 0.5, "1500000000000000.5"},
      {123456789012345.67, "123456789012345.67"},
      {999999999999999.9, "999999999999999.9"},
      // -5 <= E <= -1: "0." then zeros then the digits.
      {0.5, "0.5"},
      {0.1, "0.1"},
      {0.25, "0.25"},
      {0.001, "0.001"},
      {1e-5, "0.00001"},
      {0.00001, "0.00001"},
      {0.000015, "0.000015"},
      {-0.000015, "-0.000015"},
      {0.1 + 0.2, "0.30000000000000004"},
      {0.99999999999999989, "0.9999999999999999"},
      {9.9999e-5, "0.000099999"},
      {1.2345678901234567e-5, "0.000012345678901234568"},
      // E > 15: scientific with a plus sign.
      {1e16, "1e+16"},
      {-1e16, "-1e+16"},
      {12345678901234567.0, "1.2345678901234568e+16"},
      {1e21, "1e+21"},
      {1e22, "1e+22"},
      {1.5e300, "1.5e+300"},
      {1e100, "1e+100"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {-std::numeric_limits<double>::max(), "-1.7976931348623157e+308"},
      {18446744073709551616.0, "1.8446744073709552e+19"},
      // E < -5: scientific with a minus sign.
      {1e-6, "1e-6"},
      {0.000001, "1e-6"},
      {9.99999e-6, "9.99999e-6"},
      {1.5e-7, "1.5e-7"},
      {1e-10, "1e-10"},
      {1.25e-100, "1.25e-100"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {-std::numeric_limits<double>::denorm_min(), "-5e-324"},
      {2 * std::numeric_limits<double>::denorm_min(), "1e-323"},
      {std::bit_cast<double>(std::uint64_t{0x000FFFFFFFFFFFFF}), "2.225073858507201e-308"},
  };
  for (const DoubleCase& c : cases) {
    EXPECT_EQ(format_double(c.value), c.expected) << c.expected;
    std::string appended = "x";
    append_double(appended, c.value);
    EXPECT_EQ(appended, std::string("x") + c.expected);
  }
}

TEST(FormatDouble, NonFiniteIsWrittenAsNull) {
  EXPECT_EQ(format_double(std::nan("")), "null");
  EXPECT_EQ(format_double(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(format_double(-std::numeric_limits<double>::infinity()), "null");
}

// The digits and decimal exponent of a formatted text, read independently of
// the layout: "1234.5" gives digits 12345 and exponent 3.
struct Decimal {
  std::string digits;
  int exponent = 0;
};

Decimal read_decimal(const std::string& text) {
  std::string mantissa = text;
  int e_part = 0;
  const std::size_t e = text.find('e');
  if (e != std::string::npos) {
    mantissa = text.substr(0, e);
    e_part = std::atoi(text.c_str() + e + 1);
  }
  if (!mantissa.empty() && mantissa[0] == '-') mantissa.erase(0, 1);
  const std::size_t dot = mantissa.find('.');
  const std::size_t int_len = dot == std::string::npos ? mantissa.size() : dot;
  std::string all = mantissa;
  if (dot != std::string::npos) all.erase(dot, 1);
  const std::size_t first = all.find_first_not_of('0');
  Decimal d;
  if (first == std::string::npos) return d;
  d.digits = all.substr(first);
  d.digits.erase(d.digits.find_last_not_of('0') + 1);
  d.exponent = static_cast<int>(int_len) - 1 - static_cast<int>(first) + e_part;
  return d;
}

// The correctly rounded k-digit scientific text of x, as printf writes it.
std::string printf_digits(double x, int k) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", k - 1, x);
  return buf;
}

// Checks one finite nonzero x: the text reads back to x, has the layout of
// its exponent, its digits are the nearest k-digit decimal, and no decimal
// with fewer digits reads back to x.
void check_shortest(double x) {
  const std::string text = format_double(x);
  SCOPED_TRACE(text);
  ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)),
            std::bit_cast<std::uint64_t>(x));
  const Decimal d = read_decimal(text);
  const int k = static_cast<int>(d.digits.size());
  ASSERT_GE(k, 1);
  ASSERT_LE(k, 17);
  const bool has_e = text.find('e') != std::string::npos;
  if (d.exponent >= 0 && d.exponent <= 15) {
    ASSERT_FALSE(has_e);
    ASSERT_NE(text.find('.'), std::string::npos);
  } else if (d.exponent >= -5 && d.exponent <= -1) {
    ASSERT_FALSE(has_e);
    ASSERT_EQ(text.substr(x < 0 ? 1 : 0, 2), "0.");
  } else {
    ASSERT_TRUE(has_e);
    ASSERT_EQ(text.find('+') != std::string::npos, d.exponent > 0);
  }
  const Decimal nearest = read_decimal(printf_digits(x, k));
  // At a power of two the lower neighbour is nearer than the upper one, so a
  // shortest string above x may round-trip while the nearest one below does
  // not; only there can the two differ.
  if (std::bit_cast<std::uint64_t>(x) << 12 != 0) {
    ASSERT_EQ(d.digits, nearest.digits);
    ASSERT_EQ(d.exponent, nearest.exponent);
  }
  if (k > 1) {
    const std::string shorter = printf_digits(x, k - 1);
    ASSERT_NE(std::strtod(shorter.c_str(), nullptr), x) << shorter;
  }
}

TEST(FormatDouble, RandomBitPatternsAreShortestRoundTrip) {
  std::mt19937_64 rng(20240611);
  int checked = 0;
  while (checked < 200000) {
    const double x = std::bit_cast<double>(rng());
    if (!std::isfinite(x) || x == 0.0) continue;
    check_shortest(x);
    if (HasFatalFailure()) return;
    ++checked;
  }
}

TEST(FormatDouble, RandomShortDecimalsAroundTheLayoutBoundaries) {
  // Few digits and exponents from -8 to 18, where the layout changes.
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> digit_count(1, 17);
  std::uniform_int_distribution<int> exponent(-8, 18);
  for (int i = 0; i < 50000; ++i) {
    const int k = digit_count(rng);
    std::uint64_t mantissa = rng() % 9 + 1;
    for (int j = 1; j < k; ++j) mantissa = mantissa * 10 + rng() % 10;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%llue%d", static_cast<unsigned long long>(mantissa),
                  exponent(rng) - (k - 1));
    const double x = std::strtod(buf, nullptr);
    check_shortest(rng() % 2 == 0 ? x : -x);
    if (HasFatalFailure()) return;
  }
}

TEST(FormatDouble, PowersOfTwoAndTenAcrossTheRange) {
  for (int e = -1074; e <= 1023; ++e) {
    check_shortest(std::ldexp(1.0, e));
    if (HasFatalFailure()) return;
  }
  for (int e = -323; e <= 308; ++e) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "1e%d", e);
    const double x = std::strtod(buf, nullptr);
    check_shortest(x);
    if (HasFatalFailure()) return;
    // Every exact power of ten is written with the single digit 1.
    EXPECT_EQ(read_decimal(format_double(x)).digits, "1") << buf;
  }
}

}  // namespace
}  // namespace quillmarrow
