// Days since recall from two times: the conversion of whole microseconds to
// Unix seconds, the day count, the allowed clock skew and the messages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "scalar/days_since.hpp"

namespace quillmarrow {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNow = 1'750'000'000.0;  // 2025-06-15T15:06:40Z

struct SecondsCase {
  std::int64_t microseconds_since_2000;
  double unix_seconds;
};

class Since2000 : public testing::TestWithParam<SecondsCase> {};

TEST_P(Since2000, IsTheNearestDoubleOfTheMicrosecondsOver1e6) {
  const double got = unix_seconds_since_2000(GetParam().microseconds_since_2000);
  EXPECT_EQ(got, GetParam().unix_seconds);
  EXPECT_FALSE(std::signbit(got) && got == 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Since2000,
    testing::Values(
        SecondsCase{0, 946'684'800.0}, SecondsCase{-946'684'800'000'000, 0.0},
        SecondsCase{-946'684'800'000'001, -1e-6}, SecondsCase{1, 946'684'800.000001},
        // 2025-06-15T15:06:40.123457Z: one rounding of the microseconds, then one division.
        SecondsCase{803'315'200'123'457, 1'750'000'000'123'457.0 / 1e6},
        // PostgreSQL's last finite timestamp: the sum passes INT64_MAX.
        SecondsCase{9'223'371'331'200'000'000 - 1,
                    static_cast<double>(9'224'318'016'000'000'000ULL - 1) / 1e6},
        // Its first one (4714-11-24 BC).
        SecondsCase{-211'813'488'000'000'000, -210'866'803'200.0}));

TEST(UnixSeconds, DividesOnceByOneMillion) {
  // 0.1 s as 100000 us: the double nearest 0.1, not 100000 * 1e-6.
  EXPECT_EQ(unix_seconds(100'000), 0.1);
  EXPECT_NE(100'000 * 1e-6, 0.1);
  EXPECT_EQ(unix_seconds(1'750'000'000'000'001), 1'750'000'000'000'001.0 / 1e6);
}

struct DaysCase {
  DaysSinceInput input;
  double days;          // when accepted
  const char* message;  // empty: accepted
};

class DaysSince : public testing::TestWithParam<DaysCase> {};

TEST_P(DaysSince, CountsOrRefuses) {
  const DaysCase& c = GetParam();
  ScalarMessage message;
  double days = -12345.0;
  const bool ok = days_since_recall("quillmarrow_days_since", c.input, days, message);
  EXPECT_EQ(std::string(message.view()), c.message);
  ASSERT_EQ(ok, std::string(c.message).empty());
  if (ok) {
    EXPECT_EQ(days, c.days);
    EXPECT_FALSE(std::signbit(days));
  } else {
    EXPECT_EQ(days, -12345.0);  // untouched
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DaysSince,
    testing::Values(
        DaysCase{{kNow - 86400.0, kNow, 300.0}, 1.0, ""},
        DaysCase{{kNow - 1.5, kNow, 300.0}, 1.5 / 86400.0, ""},
        DaysCase{{kNow, kNow, 300.0}, 0.0, ""},
        // The difference is taken first, then divided: not now/86400 - recalled/86400.
        DaysCase{{kNow - 400.0 * 86400.0 - 0.25, kNow, 300.0},
                 (kNow - (kNow - 400.0 * 86400.0 - 0.25)) / 86400.0,
                 ""},
        // Ahead by up to the skew: day 0.
        DaysCase{{kNow + 0.000001, kNow, 300.0}, 0.0, ""},
        DaysCase{{kNow + 300.0, kNow, 300.0}, 0.0, ""},
        DaysCase{{kNow + 1.0, kNow, 0.0},
                 0.0,
                 "quillmarrow_days_since: recalled_at 2025-06-15T15:06:41Z is 1 second after now "
                 "(2025-06-15T15:06:40Z), more than the allowed clock skew of 0 seconds: is it in "
                 "another unit or time zone?"},
        DaysCase{{kNow + 300.5, kNow, 300.0},
                 0.0,
                 "quillmarrow_days_since: recalled_at 2025-06-15T15:11:40.5Z is 300.5 seconds "
                 "after now (2025-06-15T15:06:40Z), more than the allowed clock skew of 300 "
                 "seconds: is it in another unit or time zone?"},
        // Milliseconds given for seconds: far in the future, outside years 1 to 9999.
        DaysCase{{kNow * 1000.0, kNow, 300.0},
                 0.0,
                 "quillmarrow_days_since: recalled_at 1750000000000 Unix seconds is "
                 "1748250000000 seconds after now (2025-06-15T15:06:40Z), more than the allowed "
                 "clock skew of 300 seconds: is it in another unit or time zone?"},
        DaysCase{{kNaN, kNow, 300.0},
                 0.0,
                 "quillmarrow_days_since: recalled_at is NaN, not a finite number"},
        DaysCase{{kNow, -kInf, 300.0},
                 0.0,
                 "quillmarrow_days_since: now is -Infinity, not a finite number"},
        DaysCase{{kNow, kNow, kInf},
                 0.0,
                 "quillmarrow_days_since: max_skew is Infinity, not a finite number"},
        DaysCase{{kNow, kNow, -60.0},
                 0.0,
                 "quillmarrow_days_since: max_skew is -60 seconds, not 0 or more"}));

struct TimeTextCase {
  double seconds;
  const char* text;
};

class TimeText : public testing::TestWithParam<TimeTextCase> {};

TEST_P(TimeText, IsIsoUtcWithinYearsOneToNineThousand) {
  ScalarMessage message;
  add_time_text(message, GetParam().seconds);
  EXPECT_EQ(std::string(message.view()), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TimeText,
    testing::Values(TimeTextCase{0.0, "1970-01-01T00:00:00Z"},
                    TimeTextCase{-0.5, "1969-12-31T23:59:59.5Z"},
                    TimeTextCase{951'782'400.0, "2000-02-29T00:00:00Z"},
                    TimeTextCase{1'750'000'000.123457, "2025-06-15T15:06:40.123457Z"},
                    TimeTextCase{1'750'000'000.9999996, "2025-06-15T15:06:41Z"},
                    TimeTextCase{-62'135'596'800.0, "0001-01-01T00:00:00Z"},
                    TimeTextCase{253'402'300'799.0, "9999-12-31T23:59:59Z"},
                    TimeTextCase{253'402'300'800.0, "253402300800 Unix seconds"},
                    TimeTextCase{-62'135'596'801.0, "-62135596801 Unix seconds"}));

}  // namespace
}  // namespace quillmarrow
