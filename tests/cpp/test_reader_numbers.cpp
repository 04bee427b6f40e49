// Numbers: integer and double representations, every boundary of the 64-bit
// significand and the 32-bit exponent, and the power-of-ten procedure.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <variant>

#include "json/error.hpp"
#include "json/number_parse.hpp"
#include "reference/parse.hpp"

namespace quillmarrow {
namespace {

std::optional<JsonNumber> number_of(const std::string& text) {
  ParseResult result = parse_json(text);
  if (const auto* value = std::get_if<JsonValue>(&result)) {
    if (const JsonNumber* number = value->as_number()) return *number;
  }
  return std::nullopt;
}

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();

struct NumberCase {
  std::string text;
  JsonNumber expected;
};

JsonNumber u(std::uint64_t v) {
  return JsonNumber::from_unsigned(v);
}
JsonNumber i(std::int64_t v) {
  return JsonNumber::from_negative(v);
}
JsonNumber d(double v) {
  return JsonNumber::from_double(v);
}

void expect_numbers(const std::vector<NumberCase>& cases) {
  for (const auto& c : cases) {
    const std::optional<JsonNumber> got = number_of(c.text);
    ASSERT_TRUE(got.has_value()) << "rejected: " << c.text;
    EXPECT_EQ(got->kind, c.expected.kind) << c.text;
    EXPECT_TRUE(*got == c.expected) << c.text << " gave " << as_double(*got);
  }
}

TEST(ReaderNumbers, IntegersKeepTheirRepresentation) {
  expect_numbers({
      {"0", u(0)},
      {"7", u(7)},
      {"1844674407370955161", u(1844674407370955161u)},
      {"18446744073709551615", u(kU64Max)},
      {"9223372036854775808", u(9223372036854775808u)},
      {"-1", i(-1)},
      {"-9223372036854775807", i(-9223372036854775807)},
      {"-9223372036854775808", i(kI64Min)},
      // Minus zero and integers that fit neither integer form are doubles.
      {"-0", d(-0.0)},
      {"-9223372036854775809", d(-9223372036854775808.0)},
      {"-18446744073709551615", d(-18446744073709551616.0)},
      {"18446744073709551616", d(18446744073709551616.0)},
      {"-18446744073709551616", d(-18446744073709551616.0)},
      {"100000000000000000000", d(1e20)},
      {"123456789012345678901234567890", d(static_cast<double>(12345678901234567890u) * 1e10)},
  });
}

TEST(ReaderNumbers, FractionsAndExponentsAreDoubles) {
  expect_numbers({
      {"1.0", d(1.0)},
      {"0.0", d(0.0)},
      {"-0.0", d(-0.0)},
      {"-0e5", d(-0.0)},
      {"0.5", d(0.5)},
      {"-1.5", d(-1.5)},
      {"1E2", d(100.0)},
      {"1e2", d(100.0)},
      {"1e+2", d(100.0)},
      {"1e-2", d(0.01)},
      {"1e0", d(1.0)},
      {"2.50E-003", d(0.0025)},
      {"123.456", d(123.456)},
      {"0.000000000000000000000000000001", d(1.0 / 1e30)},
      {"1.7976931348623157e308", d(std::numeric_limits<double>::max())},
      // Fraction digits beyond the 64-bit significand are dropped.
      {"0.1234567890123456789012345", d(static_cast<double>(12345678901234567890u) / 1e20)},
  });
}

TEST(ReaderNumbers, ExponentExtremesGiveZero) {
  expect_numbers({
      {"0e400", d(0.0)},
      {"1e-400", d(0.0)},
      {"-1e-400", d(-0.0)},
      {"1e-2147483647", d(0.0)},
      {"1e-2147483648", d(0.0)},
      {"1e-2147483649", d(0.0)},
      {"-1e-99999999999999", d(-0.0)},
      // A zero significand never overflows, whatever the exponent.
      {"0e2147483648", d(0.0)},
      {"-0.0e99999999999", d(-0.0)},
      // The exponent so far (-5) plus -2147483647 saturates instead of wrapping.
      {"0.00001e-2147483647", d(0.0)},
      {"1.00001e-2147483647", d(0.0)},
      // Beyond 1e-308 the value is divided by 1e308 first.
      {"1e-320", d(1.0 / 1e308 / 1e12)},
      {"5e-324", d(5.0 / 1e308 / 1e16)},
  });
}

TEST(ReaderNumbers, FrozenSignificandStillTakesFractionDigitsThatFit) {
  // The integer part freezes at 1844674407370955161 (the digit 6 would overflow),
  // so the exponent is 1; the fraction digit 5 still fits, giving the
  // significand 18446744073709551615 and the exponent 0 - 19.
  expect_numbers({
      {"18446744073709551616.5e-19", d(18446744073709551616.0 / 1e19)},
  });
  // Dropping the fraction digit would have given a different double.
  EXPECT_NE(18446744073709551616.0 / 1e19, static_cast<double>(1844674407370955161u) / 1e18);
}

TEST(ReaderNumbers, TheProcedureIsNotCorrectlyRounded) {
  // The significand is rounded first, then one multiplication or division by a
  // rounded power of ten: two roundings where a correct conversion has one.
  struct Differing {
    std::string text;
    double procedure;
  };
  const std::vector<Differing> cases = {
      // 90071992547409930 rounds to ...936 before the division by 10.
      {"9007199254740993.0", 9007199254740994.0},
      // 1e23 is not exact.
      {"7932e-23", 7932.0 / 1e23},
      {"23770e23", 23770.0 * 1e23},
  };
  for (const auto& c : cases) {
    const std::optional<JsonNumber> got = number_of(c.text);
    ASSERT_TRUE(got.has_value()) << c.text;
    EXPECT_TRUE(*got == d(c.procedure)) << c.text;
    EXPECT_NE(c.procedure, std::strtod(c.text.c_str(), nullptr)) << c.text;
  }
}

TEST(ReaderNumbers, PowersOfTenAreTheNearestDoubles) {
  // strtod rounds correctly, so it names the double nearest to each power.
  for (int k = 0; k <= 308; ++k) {
    const std::string power = "1e" + std::to_string(k);
    const double nearest = std::strtod(power.c_str(), nullptr);
    const std::optional<JsonNumber> up = number_of(power);
    ASSERT_TRUE(up.has_value()) << power;
    EXPECT_TRUE(*up == d(nearest)) << power;
    const std::optional<JsonNumber> down = number_of("1e-" + std::to_string(k));
    ASSERT_TRUE(down.has_value()) << k;
    EXPECT_TRUE(*down == d(1.0 / nearest)) << k;
  }
}

// The double-from-parts steps written out plainly, with the powers of ten taken
// from strtod: the reference for numbers with short significands.
std::optional<double> reference_double(std::uint64_t significand, long exponent, bool negative) {
  auto power = [](long k) { return std::strtod(("1e" + std::to_string(k)).c_str(), nullptr); };
  double f = static_cast<double>(significand);
  while (exponent > 308 || exponent < -308) {
    if (f == 0.0) return negative ? -f : f;
    if (exponent > 0) return std::nullopt;
    f = f / power(308);
    exponent += 308;
  }
  if (exponent >= 0) {
    f = f * power(exponent);
    if (f == std::numeric_limits<double>::infinity()) return std::nullopt;
  } else {
    f = f / power(-exponent);
  }
  return negative ? -f : f;
}

TEST(ReaderNumbers, AgreesWithTheReferenceOverManyShapes) {
  // A fixed pseudo-random walk over significands of 1 to 19 digits, split
  // anywhere into integer and fraction digits, with exponents around the
  // table's ends.
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  auto next = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return state >> 11;
  };
  int checked = 0;
  for (int round = 0; round < 4000; ++round) {
    const int digits = 1 + static_cast<int>(next() % 19);
    std::string significand_text = std::to_string(1 + next() % 9);
    while (static_cast<int>(significand_text.size()) < digits) {
      significand_text += static_cast<char>('0' + next() % 10);
    }
    const int fraction_digits = static_cast<int>(next() % significand_text.size());
    const long exponent = static_cast<long>(next() % 700) - 360;
    const bool negative = next() % 2 == 0;
    std::string text = negative ? "-" : "";
    text += significand_text.substr(0, significand_text.size() - fraction_digits);
    if (fraction_digits > 0) {
      text += '.';
      text += significand_text.substr(significand_text.size() - fraction_digits);
    }
    text += 'e';
    text += std::to_string(exponent);

    const std::optional<double> expected =
        reference_double(std::stoull(significand_text), exponent - fraction_digits, negative);
    ParseResult result = parse_json(text);
    if (!expected) {
      ASSERT_TRUE(std::holds_alternative<JsonError>(result)) << text;
      EXPECT_EQ(error_message(std::get<JsonError>(result)),
                "number out of range at line 1 column " + std::to_string(text.size()));
    } else {
      ASSERT_TRUE(std::holds_alternative<JsonValue>(result)) << text;
      EXPECT_TRUE(*std::get<JsonValue>(result).as_number() == d(*expected)) << text;
    }
    ++checked;
  }
  EXPECT_EQ(checked, 4000);
}

TEST(ReaderNumbers, DoubleFromParts) {
  EXPECT_EQ(double_from_parts(0, std::numeric_limits<std::int32_t>::max(), false), 0.0);
  EXPECT_EQ(double_from_parts(1, std::numeric_limits<std::int32_t>::max(), false), std::nullopt);
  EXPECT_EQ(double_from_parts(1, 308, false), 1e308);
  EXPECT_EQ(double_from_parts(10, 308, true), std::nullopt);
  const std::optional<double> tiny =
      double_from_parts(kU64Max, std::numeric_limits<std::int32_t>::min(), true);
  ASSERT_TRUE(tiny.has_value());
  EXPECT_TRUE(std::signbit(*tiny));
  EXPECT_EQ(*tiny, 0.0);
}

TEST(ReaderNumbers, NumbersInsideContainers) {
  ParseResult result = parse_json("[0,-0,1.5e1,{\"n\":-2}]");
  ASSERT_TRUE(std::holds_alternative<JsonValue>(result));
  JsonObject object;
  object.insert("n", JsonValue(i(-2)));
  const JsonValue expected(JsonArray{JsonValue(u(0)), JsonValue(d(-0.0)), JsonValue(d(15.0)),
                                     JsonValue(std::move(object))});
  EXPECT_EQ(std::get<JsonValue>(result), expected);
}

}  // namespace
}  // namespace quillmarrow
