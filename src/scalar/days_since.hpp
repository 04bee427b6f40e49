// Days since recall from two points in time, the rule every road of the
// package shares: each time is a whole number of microseconds since
// 1970-01-01 00:00 UTC, converted to the nearest double and divided once by
// 1e6 (Unix seconds), and days = (now - recalled_at) / 86400.0.
//
// A recall time after now is an error, since it usually means a time in the
// wrong unit (milliseconds for seconds) or time zone, unless it is at most
// max_skew seconds ahead, the clock skew allowed between the machines that
// write the times: then it counts as day 0 (0.0), which decides exactly as
// any negative day count would.
#pragma once

#include <cstdint>
#include <string_view>

#include "scalar/message.hpp"

namespace quillmarrow {

inline constexpr double kDaySeconds = 86400.0;
inline constexpr double kDefaultMaxSkewSeconds = 300.0;
// From 1970-01-01 to 2000-01-01, PostgreSQL's epoch, in microseconds.
inline constexpr std::int64_t kPostgresEpochMicroseconds = 946'684'800'000'000;

// Unix seconds of a count of microseconds since 1970.
double unix_seconds(std::int64_t microseconds) noexcept;
// Unix seconds of a count of microseconds since 2000 (PostgreSQL's
// timestamps), converted exactly whatever the count.
double unix_seconds_since_2000(std::int64_t microseconds) noexcept;

struct DaysSinceInput {
  double recalled_at = 0.0;  // Unix seconds
  double now = 0.0;          // Unix seconds
  double max_skew = kDefaultMaxSkewSeconds;
};

// Sets days and returns true, or writes the message (recalled_at, now or
// max_skew not finite, max_skew negative, recalled_at too far ahead) and
// returns false.
bool days_since_recall(std::string_view function, const DaysSinceInput& input, double& days,
                       ScalarMessage& message) noexcept;

// The time as ISO-8601 text in UTC, "2025-06-15T12:00:00Z" with the
// microseconds when there are any, for years 1 to 9999; other times as
// "<seconds> Unix seconds".
void add_time_text(ScalarMessage& message, double unix_seconds) noexcept;

}  // namespace quillmarrow
