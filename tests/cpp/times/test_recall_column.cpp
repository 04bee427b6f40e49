// Days since recall over whole columns: every kind of recall time gives the
// day count of the scalar rule for the same instant, and the first bad row
// is reported with its value and what to do.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "scalar/days_since.hpp"
#include "times/recall_column.hpp"

namespace quillmarrow {
namespace {

constexpr double kNow = 1'750'000'000.0;  // 2025-06-15T15:06:40Z

double rule(double recalled_at) {
  double days = 0.0;
  ScalarMessage message;
  EXPECT_TRUE(days_since_recall("test", {recalled_at, kNow, 300.0}, days, message));
  return days;
}

RecallColumn counts(const std::vector<std::int64_t>& values, CountUnit unit) {
  RecallColumn column;
  column.name = "recalled_at";
  column.kind = RecallColumn::Kind::counts;
  column.values =
      column_of("recalled_at", values.data(), values.size(), ElementKind::signed_integer);
  column.count_unit = unit;
  return column;
}

RecallColumn texts(const std::vector<std::string_view>& values) {
  RecallColumn column;
  column.name = "last_recalled_at";
  column.kind = RecallColumn::Kind::texts;
  column.texts.views = values.data();
  column.texts.length = values.size();
  return column;
}

template <class T>
RecallColumn numbers(const std::vector<T>& values, ElementKind kind) {
  RecallColumn column;
  column.name = "t";
  column.kind = RecallColumn::Kind::numbers;
  column.values = column_of("t", values.data(), values.size(), kind);
  return column;
}

std::vector<double> days_of(const RecallColumn& column, RecallOptions options = {kNow}) {
  std::vector<double> days(column.length(), -1.0);
  const auto error = days_since_column(column, options, days.data());
  EXPECT_FALSE(error.has_value()) << error->message;
  return days;
}

std::string error_of(const RecallColumn& column, RecallOptions options = {kNow}) {
  std::vector<double> days(column.length());
  const auto error = days_since_column(column, options, days.data());
  return error ? error->message : "no error";
}

TEST(RecallColumn, EveryCountUnitIsTheSameInstant) {
  // 2025-06-14T15:06:40.123456789Z in each unit (floored to what it can hold).
  const std::int64_t ns = 1'749'913'600'123'456'789;
  EXPECT_EQ(days_of(counts({ns}, CountUnit::nanoseconds))[0], rule(1'749'913'600'123'456 / 1e6));
  EXPECT_EQ(days_of(counts({ns / 1000}, CountUnit::microseconds))[0],
            rule(1'749'913'600'123'456 / 1e6));
  EXPECT_EQ(days_of(counts({ns / 1'000'000}, CountUnit::milliseconds))[0],
            rule(1'749'913'600'123'000 / 1e6));
  EXPECT_EQ(days_of(counts({ns / 1'000'000'000}, CountUnit::seconds))[0], rule(1'749'913'600.0));
  EXPECT_EQ(days_of(counts({20253}, CountUnit::days))[0], rule(20253 * 86400.0));
}

TEST(RecallColumn, NanosecondsBefore1970Floor) {
  EXPECT_EQ(days_of(counts({-1}, CountUnit::nanoseconds))[0], rule(-1e-6));
  EXPECT_EQ(days_of(counts({-1000}, CountUnit::nanoseconds))[0], rule(-1e-6));
  EXPECT_EQ(days_of(counts({-1001}, CountUnit::nanoseconds))[0], rule(-2e-6));
}

TEST(RecallColumn, CountsBeyondSixtyFourBitsOfMicrosecondsAreRefused) {
  EXPECT_EQ(
      error_of(counts({0, std::numeric_limits<std::int64_t>::max()}, CountUnit::seconds)),
      "column 'recalled_at': row 1 is out of the range of times (the years 292,000 BC to AD)");
  EXPECT_EQ(
      error_of(counts({200'000'000}, CountUnit::days)),
      "column 'recalled_at': row 0 is out of the range of times (the years 292,000 BC to AD)");
}

TEST(RecallColumn, NumbersAreDividedByTheUnit) {
  const std::vector<std::int64_t> ms = {1'749'999'000'123};
  RecallOptions options{kNow, 300.0, TimeUnit::milliseconds};
  EXPECT_EQ(days_of(numbers(ms, ElementKind::signed_integer), options)[0],
            rule(1'749'999'000'123.0 / 1e3));
  const std::vector<float> seconds = {1.6e9f};
  EXPECT_EQ(days_of(numbers(seconds, ElementKind::floating))[0], rule(static_cast<double>(1.6e9f)));
}

TEST(RecallColumn, TextsIsoOrNumbers) {
  const std::vector<std::string_view> values = {"2025-06-15T00:00:00Z", "1749945600",
                                                "2025-06-15T02:00+02:00", "1749945600000"};
  RecallOptions options{kNow, 300.0, TimeUnit::seconds};
  auto days = days_of(texts({values[0], values[1], values[2]}), options);
  EXPECT_EQ(days, std::vector<double>(3, rule(1'749'945'600.0)));
  options.unit = TimeUnit::milliseconds;
  EXPECT_EQ(days_of(texts({values[3], values[0]}), options),
            std::vector<double>(2, rule(1'749'945'600.0)));
}

TEST(RecallColumn, ArrowTextLayout) {
  const char data[] = "xx2025-06-15T00:00:00Z1749945600";
  const std::int64_t offsets[] = {0, 2, 22, 32};
  RecallColumn column;
  column.name = "r";
  column.kind = RecallColumn::Kind::texts;
  column.texts = TextColumn{data, offsets, 8, 1, nullptr, 2};
  EXPECT_EQ(days_of(column), std::vector<double>(2, rule(1'749'945'600.0)));
  const std::int32_t narrow[] = {0, 2, 22, 32};
  column.texts.offsets = narrow;
  column.texts.offset_width = 4;
  EXPECT_EQ(days_of(column), std::vector<double>(2, rule(1'749'945'600.0)));
}

struct Refusal {
  std::vector<std::string_view> values;
  TimeUnit unit;
  const char* message;
};

class TextRefusals : public testing::TestWithParam<Refusal> {};

TEST_P(TextRefusals, NameTheRowTheValueAndTheFix) {
  EXPECT_EQ(error_of(texts(GetParam().values), {kNow, 300.0, GetParam().unit}), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TextRefusals,
    testing::Values(
        Refusal{{"2025-01-01", "15 June 2025"},
                TimeUnit::seconds,
                "column 'last_recalled_at': row 1 is the text '15 June 2025', not a time: ISO-8601 "
                "(2025-06-15T12:00:00Z, 2025-06-15) or a number in the time unit (seconds)"},
        Refusal{{"it's\n"},
                TimeUnit::milliseconds,
                "column 'last_recalled_at': row 0 is the text 'it\\'s\\x0a', not a time: ISO-8601 "
                "(2025-06-15T12:00:00Z, 2025-06-15) or a number in the time unit (milliseconds)"},
        // Milliseconds read as seconds.
        Refusal{{"1749945600000"},
                TimeUnit::seconds,
                "column 'last_recalled_at': row 0 is 1749945600000 Unix seconds, 20233745.4 days "
                "after now (2025-06-15T15:06:40Z), more than the allowed clock skew of 300 "
                "seconds: milliseconds read as seconds? Give the time unit ms (time_unit='ms', "
                "--time-unit ms); or allow more skew with max_skew (--max-skew)"},
        // A local time ahead of UTC read as UTC.
        Refusal{{"2025-06-15T18:06:40"},
                TimeUnit::seconds,
                "column 'last_recalled_at': row 0 is 2025-06-15T18:06:40Z, 3 hours after now "
                "(2025-06-15T15:06:40Z), more than the allowed clock skew of 300 seconds: a local "
                "time read as UTC (a time without an offset counts as UTC)?; or allow more skew "
                "with max_skew (--max-skew)"},
        Refusal{{"2030-01-01"},
                TimeUnit::seconds,
                "column 'last_recalled_at': row 0 is 2030-01-01T00:00:00Z, 1660.4 days after now "
                "(2025-06-15T15:06:40Z), more than the allowed clock skew of 300 seconds: is it in "
                "another unit or time zone?; or allow more skew with max_skew (--max-skew)"}));

TEST(RecallColumn, MillisecondsReadAsSecondsSaySo) {
  const std::vector<double> ms = {1'749'945'600'000.0};
  const std::string message = error_of(numbers(ms, ElementKind::floating));
  EXPECT_EQ(message,
            "column 't': row 0 is 1749945600000 Unix seconds, 20233745.4 days after now "
            "(2025-06-15T15:06:40Z), more than the allowed clock skew of 300 seconds: milliseconds "
            "read as seconds? Give the time unit ms (time_unit='ms', --time-unit ms); or allow "
            "more skew with max_skew (--max-skew)");
  const std::vector<double> ns = {1'749'945'600'000'000'000.0};
  EXPECT_NE(error_of(numbers(ns, ElementKind::floating), {kNow, 300.0, TimeUnit::milliseconds})
                .find("nanoseconds read as milliseconds? Give the time unit ns"),
            std::string::npos);
}

TEST(RecallColumn, WithinTheSkewIsDayZeroBeyondIsRefused) {
  const std::vector<double> ahead = {kNow + 300.0, kNow + 0.5};
  EXPECT_EQ(days_of(numbers(ahead, ElementKind::floating)), std::vector<double>(2, 0.0));
  const std::vector<double> further = {kNow, kNow + 300.5};
  EXPECT_NE(error_of(numbers(further, ElementKind::floating))
                .find("row 1 is 2025-06-15T15:11:40.5Z, 300.5 seconds after now "
                      "(2025-06-15T15:06:40Z), more than the allowed clock skew of 300 seconds"),
            std::string::npos);
  EXPECT_EQ(days_of(numbers(further, ElementKind::floating), {kNow, 301.0}),
            (std::vector<double>{0.0, 0.0}));
}

TEST(RecallColumn, NotFiniteNumbersNowAndSkew) {
  const std::vector<double> values = {kNow, std::numeric_limits<double>::quiet_NaN()};
  EXPECT_EQ(error_of(numbers(values, ElementKind::floating)),
            "column 't': row 1 is nan, not a finite number");
  EXPECT_EQ(
      error_of(numbers(values, ElementKind::floating), {std::numeric_limits<double>::infinity()}),
      "days since recall: now is Infinity, not a finite number");
  EXPECT_EQ(error_of(numbers(values, ElementKind::floating), {kNow, -1.0}),
            "days since recall: max_skew is -1 seconds, not 0 or more");
}

TEST(NumbersFromTexts, AreTheNearestDoublesOrNameTheRow) {
  const std::vector<std::string_view> values = {"0.1", "-12345678901234567890.5", "1E-3"};
  TextColumn texts;
  texts.views = values.data();
  texts.length = values.size();
  std::vector<double> out(3);
  ASSERT_FALSE(numbers_from_texts("x", texts, out.data()).has_value());
  EXPECT_EQ(out, (std::vector<double>{0.1, -12345678901234567890.5, 1e-3}));
  const std::vector<std::string_view> bad = {"1", "1.2.3"};
  texts.views = bad.data();
  texts.length = bad.size();
  const auto error = numbers_from_texts("x", texts, out.data());
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "column 'x': row 1 is the text '1.2.3', not a finite number");
}

TEST(TextColumnOffsets, MustBeInOrderAndWithinTheData) {
  const char data[] = "abcdef";
  struct Case {
    std::vector<std::int32_t> offsets;
    std::size_t first;
    bool ok;
  };
  const Case cases[] = {
      {{0, 2, 6}, 0, true},   {{0, 2, 7}, 0, false}, {{0, 3, 2}, 0, false},
      {{-1, 2, 6}, 0, false}, {{9, 2, 6}, 1, true},  {{0, 0, 0}, 0, true},
  };
  for (const Case& c : cases) {
    const TextColumn texts{data,    c.offsets.data(), 4,
                           c.first, nullptr,          c.offsets.size() - c.first - 1};
    EXPECT_EQ(texts.offsets_within(6), c.ok)
        << c.offsets[0] << "," << c.offsets[1] << "," << c.offsets[2];
  }
}

// One value outside a column follows the rows' rule, and its messages name
// it as the caller does.
TEST(RecallValue, IsCountedAsARowIsAndNamedByItsSubject) {
  struct Case {
    RecallValue value;
    TimeUnit unit;
    double days;  // when message is empty
    const char* message;
  };
  const Case cases[] = {
      {{false, 1'749'945'600.0, {}}, TimeUnit::seconds, rule(1'749'945'600.0), ""},
      {{false, 1'749'945'600'000.0, {}}, TimeUnit::milliseconds, rule(1'749'945'600.0), ""},
      {{true, 0.0, "2025-06-15T02:00+02:00"}, TimeUnit::seconds, rule(1'749'945'600.0), ""},
      {{true, 0.0, "1749945600000000"}, TimeUnit::microseconds, rule(1'749'945'600.0), ""},
      {{false, kNow + 10.0, {}}, TimeUnit::seconds, 0.0, ""},
      {{true, 0.0, "15/06/2025"},
       TimeUnit::seconds,
       0.0,
       "member 't' is the text '15/06/2025', not a time: ISO-8601 (2025-06-15T12:00:00Z, "
       "2025-06-15) or a number in the time unit (seconds)"},
      {{false, 1'749'945'600'000.0, {}},
       TimeUnit::seconds,
       0.0,
       "member 't' is 1749945600000 Unix seconds, 20233745.4 days after now "
       "(2025-06-15T15:06:40Z), more than the allowed clock skew of 300 seconds: milliseconds "
       "read as seconds? Give the time unit ms (time_unit='ms', --time-unit ms); or allow more "
       "skew with max_skew (--max-skew)"},
      {{false, std::numeric_limits<double>::infinity(), {}},
       TimeUnit::seconds,
       0.0,
       "member 't' is inf, not a finite number"},
  };
  for (const Case& c : cases) {
    double days = -1.0;
    const auto error = days_since_value("member 't'", c.value, {kNow, 300.0, c.unit}, days);
    if (std::string_view(c.message).empty()) {
      ASSERT_FALSE(error.has_value()) << error->message;
      EXPECT_EQ(days, c.days) << c.value.number << c.value.text;
    } else {
      ASSERT_TRUE(error.has_value()) << c.value.number << c.value.text;
      EXPECT_EQ(error->message, c.message);
    }
  }
}

// A long text is shown cut to 60 bytes, never inside a character, so the
// message stays UTF-8.
TEST(RecallValue, ALongTextIsCutBetweenCharacters) {
  const std::string text = std::string(59, 'x') + "\xC3\xA9" + "tail";
  double days = 0.0;
  const auto error = days_since_value("member 't'", {true, 0.0, text}, {kNow}, days);
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->message.find("the text '" + std::string(59, 'x') + "'..., not a time"),
            std::string::npos)
      << error->message;
}

TEST(RecallColumn, AZeroLengthColumnNeedsNothing) {
  EXPECT_TRUE(days_of(texts({})).empty());
}

}  // namespace
}  // namespace quillmarrow
