#include "times/time_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

#include "scalar/days_since.hpp"
#include "times/iso8601.hpp"

namespace quillmarrow {

namespace {

bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

std::size_t skip_digits(std::string_view text, std::size_t at) noexcept {
  while (at < text.size() && is_digit(text[at])) ++at;
  return at;
}

}  // namespace

std::optional<TimeUnit> time_unit_named(std::string_view name) noexcept {
  if (name == "s") return TimeUnit::seconds;
  if (name == "ms") return TimeUnit::milliseconds;
  if (name == "us") return TimeUnit::microseconds;
  if (name == "ns") return TimeUnit::nanoseconds;
  return std::nullopt;
}

std::string_view time_unit_name(TimeUnit unit) noexcept {
  constexpr std::string_view names[] = {"s", "ms", "us", "ns"};
  return names[static_cast<int>(unit)];
}

std::string_view time_unit_words(TimeUnit unit) noexcept {
  constexpr std::string_view words[] = {"seconds", "milliseconds", "microseconds", "nanoseconds"};
  return words[static_cast<int>(unit)];
}

double time_unit_divisor(TimeUnit unit) noexcept {
  constexpr double divisors[] = {1.0, 1e3, 1e6, 1e9};
  return divisors[static_cast<int>(unit)];
}

bool parse_number_text(std::string_view text, double& value) noexcept {
  // The grammar is checked here; std::from_chars (correctly rounded) takes
  // the digits, without a leading plus, which it does not accept.
  std::size_t at = 0;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  const std::size_t integer_end = skip_digits(text, at);
  std::size_t digit_count = integer_end - at;
  at = integer_end;
  if (at < text.size() && text[at] == '.') {
    const std::size_t fraction_end = skip_digits(text, at + 1);
    digit_count += fraction_end - (at + 1);
    at = fraction_end;
  }
  if (digit_count == 0) return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    std::size_t exponent = at + 1;
    if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
    const std::size_t exponent_end = skip_digits(text, exponent);
    if (exponent_end == exponent) return false;
    at = exponent_end;
  }
  if (at != text.size()) return false;
  const char* first = text.data();
  if (*first == '+') ++first;
  double parsed = 0.0;
  const auto result = std::from_chars(first, text.data() + text.size(), parsed);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return false;
  if (!std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

bool time_text_seconds(std::string_view text, TimeUnit unit, double& seconds) noexcept {
  std::int64_t micros = 0;
  if (parse_iso8601(text, micros)) {
    seconds = unix_seconds(micros);
    return true;
  }
  double number = 0.0;
  if (!parse_number_text(text, number)) return false;
  seconds = number / time_unit_divisor(unit);
  return true;
}

}  // namespace quillmarrow
