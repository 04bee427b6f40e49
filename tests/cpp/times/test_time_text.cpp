// ISO-8601 and numeric time texts: what the one grammar accepts (with the
// exact microseconds) and what it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "times/iso8601.hpp"
#include "times/time_text.hpp"

namespace quillmarrow {
namespace {

constexpr std::int64_t kSecond = 1'000'000;
// 2025-06-15T00:00:00Z
constexpr std::int64_t kJune15 = 1'749'945'600 * kSecond;

struct IsoCase {
  const char* text;
  std::int64_t micros;
};

class IsoAccepted : public testing::TestWithParam<IsoCase> {};

TEST_P(IsoAccepted, GivesTheMicroseconds) {
  std::int64_t micros = -1;
  ASSERT_TRUE(parse_iso8601(GetParam().text, micros)) << GetParam().text;
  EXPECT_EQ(micros, GetParam().micros) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, IsoAccepted,
    testing::Values(
        IsoCase{"1970-01-01", 0}, IsoCase{"2025-06-15", kJune15},
        IsoCase{"2025-06-15T12:00", kJune15 + 12 * 3600 * kSecond},
        IsoCase{"2025-06-15t12:00:30z", kJune15 + (12 * 3600 + 30) * kSecond},
        IsoCase{"2025-06-15 12:00:30Z", kJune15 + (12 * 3600 + 30) * kSecond},
        IsoCase{"2025-06-15T12:00:30.5", kJune15 + (12 * 3600 + 30) * kSecond + 500'000},
        // Digits past the microsecond are cut: the time floors.
        IsoCase{"2025-06-15T00:00:00.1234569", kJune15 + 123'456},
        IsoCase{"1969-12-31T23:59:59.9999999", -1}, IsoCase{"2025-06-15T02:00+02:00", kJune15},
        IsoCase{"2025-06-15T02:00+0200", kJune15}, IsoCase{"2025-06-15T02:00+02", kJune15},
        IsoCase{"2025-06-14T19:30-04:30", kJune15}, IsoCase{"2024-02-29", 1'709'164'800 * kSecond},
        IsoCase{"0001-01-01", -62'135'596'800 * kSecond},
        IsoCase{"9999-12-31T23:59:59.999999Z", 253'402'300'799 * kSecond + 999'999}));

class IsoRefused : public testing::TestWithParam<const char*> {};

TEST_P(IsoRefused, LeavesTheValue) {
  std::int64_t micros = 42;
  EXPECT_FALSE(parse_iso8601(GetParam(), micros)) << GetParam();
  EXPECT_EQ(micros, 42);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IsoRefused,
    testing::Values("", "2025", "2025-06", "2025-6-15", "25-06-15", "2025-13-01", "2025-02-29",
                    "0000-01-01", "2025-06-15T", "2025-06-15T12", "2025-06-15T24:00",
                    "2025-06-15T12:60", "2025-06-15T12:00:60", "2025-06-15T12:00:00.",
                    "2025-06-15T12:00:00,5", "2025-06-15Z", "2025-06-15T12:00Zx",
                    "2025-06-15T12:00+24:00", "2025-06-15T12:00+02:", "2025-06-15T12:00+2",
                    "2025-06-15T12:00+02:3", " 2025-06-15", "2025-06-15 ", "2025-06-15x12:00",
                    "2025/06/15", "2025-W24-1", "+2025-06-15", "2025-06-15T12:00 Z"));

struct NumberCase {
  const char* text;
  bool ok;
  double value;
};

class NumberText : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberText, IsTheNearestDouble) {
  double value = -7.0;
  EXPECT_EQ(parse_number_text(GetParam().text, value), GetParam().ok) << GetParam().text;
  EXPECT_EQ(value, GetParam().ok ? GetParam().value : -7.0) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, NumberText,
    testing::Values(
        NumberCase{"1750000000", true, 1750000000.0},
        NumberCase{"+1750000000.25", true, 1750000000.25}, NumberCase{"-12", true, -12.0},
        NumberCase{".5", true, 0.5}, NumberCase{"5.", true, 5.0},
        NumberCase{"1.75e12", true, 1.75e12}, NumberCase{"1E-3", true, 1e-3},
        // Correctly rounded: the decimal halfway between two doubles goes to even.
        NumberCase{"9007199254740993", true, 9007199254740992.0}, NumberCase{"0.1", true, 0.1},
        NumberCase{"", false, 0}, NumberCase{"-", false, 0}, NumberCase{".", false, 0},
        NumberCase{"1e", false, 0}, NumberCase{"1e+", false, 0}, NumberCase{"nan", false, 0},
        NumberCase{"inf", false, 0}, NumberCase{"1e400", false, 0}, NumberCase{"0x10", false, 0},
        NumberCase{" 1", false, 0}, NumberCase{"1 ", false, 0}, NumberCase{"1_000", false, 0},
        NumberCase{"++1", false, 0}));

TEST(TimeText, NumbersAreDividedByTheUnitIsoIgnoresIt) {
  double seconds = 0.0;
  ASSERT_TRUE(time_text_seconds("1750000000123", TimeUnit::milliseconds, seconds));
  EXPECT_EQ(seconds, 1750000000123.0 / 1e3);
  ASSERT_TRUE(time_text_seconds("1750000000123456789", TimeUnit::nanoseconds, seconds));
  EXPECT_EQ(seconds, 1750000000123456789.0 / 1e9);
  ASSERT_TRUE(time_text_seconds("2025-06-15T00:00:00.1Z", TimeUnit::nanoseconds, seconds));
  EXPECT_EQ(seconds, 1749945600100000.0 / 1e6);
  EXPECT_FALSE(time_text_seconds("yesterday", TimeUnit::seconds, seconds));
}

TEST(TimeUnits, NamesAndDivisors) {
  const char* names[] = {"s", "ms", "us", "ns"};
  const double divisors[] = {1.0, 1e3, 1e6, 1e9};
  for (int i = 0; i < 4; ++i) {
    const auto unit = time_unit_named(names[i]);
    ASSERT_TRUE(unit.has_value());
    EXPECT_EQ(time_unit_name(*unit), names[i]);
    EXPECT_EQ(time_unit_divisor(*unit), divisors[i]);
  }
  EXPECT_FALSE(time_unit_named("sec").has_value());
  EXPECT_FALSE(time_unit_named("S").has_value());
}

}  // namespace
}  // namespace quillmarrow
