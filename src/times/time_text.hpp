// A recall time written as text: ISO-8601 (iso8601.hpp) or a number of the
// time unit ("1750000000", "1.75e12" in milliseconds), and the units of
// times given as numbers.
#pragma once

#include <optional>
#include <string_view>

namespace quillmarrow {

enum class TimeUnit : unsigned char { seconds, milliseconds, microseconds, nanoseconds };

// The unit named "s", "ms", "us" or "ns".
std::optional<TimeUnit> time_unit_named(std::string_view name) noexcept;
// "s", "ms", "us", "ns".
std::string_view time_unit_name(TimeUnit unit) noexcept;
// "seconds", "milliseconds", "microseconds", "nanoseconds".
std::string_view time_unit_words(TimeUnit unit) noexcept;
// 1, 1e3, 1e6 or 1e9: a number of the unit is that many parts of a second.
double time_unit_divisor(TimeUnit unit) noexcept;

// A decimal number, the whole text: an optional sign, digits with an
// optional fraction (at least one digit in all), an optional exponent. Sets
// the nearest double and returns true when it is finite.
bool parse_number_text(std::string_view text, double& value) noexcept;

// Unix seconds of a time text: ISO-8601 as the double nearest its whole
// microseconds divided by 1e6, or a number of `unit` divided by its divisor.
bool time_text_seconds(std::string_view text, TimeUnit unit, double& seconds) noexcept;

}  // namespace quillmarrow
