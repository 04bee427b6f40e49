#include "times/iso8601.hpp"

#include <chrono>
#include <cstddef>

namespace quillmarrow {

namespace {

constexpr std::int64_t kMicrosPerSecond = 1'000'000;

// Reads exactly `width` decimal digits at `at`, advancing it.
bool digits(std::string_view text, std::size_t& at, std::size_t width, int& value) noexcept {
  if (text.size() - at < width) return false;
  int result = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  at += width;
  value = result;
  return true;
}

bool skip(std::string_view text, std::size_t& at, char c) noexcept {
  if (at < text.size() && text[at] == c) {
    ++at;
    return true;
  }
  return false;
}

// The fraction after the decimal point: one digit or more, as microseconds
// (the first six digits; the rest are cut, which floors).
bool fraction(std::string_view text, std::size_t& at, std::int64_t& micros) noexcept {
  const std::size_t start = at;
  std::int64_t value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    if (at - start < 6) value = value * 10 + (text[at] - '0');
    ++at;
  }
  const std::size_t count = at - start;
  if (count == 0) return false;
  for (std::size_t i = count; i < 6; ++i) value *= 10;
  micros = value;
  return true;
}

// The offset from UTC in seconds, east positive: Z, z, or a sign and
// HH, HHMM or HH:MM.
bool offset(std::string_view text, std::size_t& at, std::int64_t& seconds) noexcept {
  if (skip(text, at, 'Z') || skip(text, at, 'z')) {
    seconds = 0;
    return true;
  }
  int sign = 0;
  if (skip(text, at, '+')) {
    sign = 1;
  } else if (skip(text, at, '-')) {
    sign = -1;
  } else {
    return false;
  }
  int hours = 0;
  int minutes = 0;
  if (!digits(text, at, 2, hours) || hours > 23) return false;
  if (at < text.size()) {
    skip(text, at, ':');
    if (!digits(text, at, 2, minutes) || minutes > 59) return false;
    // "+05:" and "+0530" are fine, "+05:3" is not: digits() took two.
  }
  seconds = sign * (hours * 3600 + minutes * 60);
  return true;
}

}  // namespace

bool parse_iso8601(std::string_view text, std::int64_t& microseconds) noexcept {
  std::size_t at = 0;
  int year = 0;
  int month = 0;
  int day = 0;
  if (!digits(text, at, 4, year) || !skip(text, at, '-') || !digits(text, at, 2, month) ||
      !skip(text, at, '-') || !digits(text, at, 2, day)) {
    return false;
  }
  const std::chrono::year_month_day date{std::chrono::year{year},
                                         std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (year < 1 || !date.ok()) return false;
  const std::int64_t days = std::chrono::sys_days{date}.time_since_epoch().count();
  std::int64_t seconds_of_day = 0;
  std::int64_t micros = 0;
  std::int64_t east = 0;
  if (at < text.size()) {
    const char separator = text[at++];
    if (separator != 'T' && separator != 't' && separator != ' ') return false;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!digits(text, at, 2, hour) || hour > 23 || !skip(text, at, ':') ||
        !digits(text, at, 2, minute) || minute > 59) {
      return false;
    }
    if (skip(text, at, ':')) {
      if (!digits(text, at, 2, second) || second > 59) return false;
      if (skip(text, at, '.') && !fraction(text, at, micros)) return false;
    }
    if (at < text.size() && !offset(text, at, east)) return false;
    if (at != text.size()) return false;
    seconds_of_day = hour * 3600 + minute * 60 + second;
  }
  microseconds = (days * 86'400 + seconds_of_day - east) * kMicrosPerSecond + micros;
  return true;
}

}  // namespace quillmarrow
