#include "scalar/days_since.hpp"

#include <charconv>
#include <chrono>
#include <cmath>

#include "scalar/finite.hpp"

namespace quillmarrow {

namespace {

// 0001-01-01T00:00:00Z and 10000-01-01T00:00:00Z in Unix seconds.
constexpr double kFirstIsoSecond = -62'135'596'800.0;
constexpr double kEndIsoSecond = 253'402'300'800.0;

void add_digits(ScalarMessage& message, long long value, int width) noexcept {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  for (auto n = result.ptr - digits; n < width; ++n) message.add("0");
  message.add(std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
}

// A count of seconds as text, rounded to the microsecond.
void add_seconds(ScalarMessage& message, double seconds) noexcept {
  message.add_number(std::round(seconds * 1e6) / 1e6);
  message.add(seconds == 1.0 ? " second" : " seconds");
}

}  // namespace

double unix_seconds(std::int64_t microseconds) noexcept {
  return static_cast<double>(microseconds) / 1e6;
}

double unix_seconds_since_2000(std::int64_t microseconds) noexcept {
  // The sum can pass the largest 64-bit integer near PostgreSQL's last
  // timestamp; it is exact in unsigned arithmetic whenever it is not negative.
  if (microseconds >= -kPostgresEpochMicroseconds) {
    const std::uint64_t sum = static_cast<std::uint64_t>(microseconds) +
                              static_cast<std::uint64_t>(kPostgresEpochMicroseconds);
    return static_cast<double>(sum) / 1e6;
  }
  return unix_seconds(microseconds + kPostgresEpochMicroseconds);
}

void add_time_text(ScalarMessage& message, double seconds) noexcept {
  if (!(seconds >= kFirstIsoSecond && seconds < kEndIsoSecond)) {
    message.add_number(seconds);
    message.add(" Unix seconds");
    return;
  }
  double whole = std::floor(seconds);
  auto micros = static_cast<long long>(std::round((seconds - whole) * 1e6));
  if (micros == 1'000'000) {
    whole += 1.0;
    micros = 0;
  }
  const auto total = static_cast<long long>(whole);
  long long day = total / 86400;
  long long second_of_day = total % 86400;
  if (second_of_day < 0) {
    second_of_day += 86400;
    day -= 1;
  }
  const std::chrono::year_month_day date{
      std::chrono::sys_days{std::chrono::days{static_cast<int>(day)}}};
  add_digits(message, static_cast<int>(date.year()), 4);
  message.add("-");
  add_digits(message, static_cast<unsigned>(date.month()), 2);
  message.add("-");
  add_digits(message, static_cast<unsigned>(date.day()), 2);
  message.add("T");
  add_digits(message, second_of_day / 3600, 2);
  message.add(":");
  add_digits(message, second_of_day / 60 % 60, 2);
  message.add(":");
  add_digits(message, second_of_day % 60, 2);
  if (micros != 0) {
    int width = 6;
    while (micros % 10 == 0) {
      micros /= 10;
      --width;
    }
    message.add(".");
    add_digits(message, micros, width);
  }
  message.add("Z");
}

bool days_since_recall(std::string_view function, const DaysSinceInput& input, double& days,
                       ScalarMessage& message) noexcept {
  if (!check_finite(function, "recalled_at", input.recalled_at, message) ||
      !check_finite(function, "now", input.now, message) ||
      !check_finite(function, "max_skew", input.max_skew, message)) {
    return false;
  }
  if (input.max_skew < 0.0) {
    message.add(function);
    message.add(": max_skew is ");
    add_seconds(message, input.max_skew);
    message.add(", not 0 or more");
    return false;
  }
  const double ahead = input.recalled_at - input.now;
  if (ahead > 0.0) {
    if (ahead <= input.max_skew) {
      days = 0.0;
      return true;
    }
    message.add(function);
    message.add(": recalled_at ");
    add_time_text(message, input.recalled_at);
    message.add(" is ");
    add_seconds(message, ahead);
    message.add(" after now (");
    add_time_text(message, input.now);
    message.add("), more than the allowed clock skew of ");
    add_seconds(message, input.max_skew);
    message.add(": is it in another unit or time zone?");
    return false;
  }
  days = (input.now - input.recalled_at) / kDaySeconds;
  return true;
}

}  // namespace quillmarrow
