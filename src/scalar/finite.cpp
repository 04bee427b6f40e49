#include "scalar/finite.hpp"

#include <charconv>
#include <cmath>

namespace quillmarrow {

void ScalarMessage::add_number(double value) noexcept {
  // Plain digits up to 1e16 (no exponent for a time in the wrong unit),
  // the shortest form beyond.
  char digits[48];
  const auto format =
      std::fabs(value) < 1e16 ? std::chars_format::fixed : std::chars_format::general;
  const auto result = std::to_chars(digits, digits + sizeof digits, value, format);
  add(std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
}

std::string_view not_finite_text(double value) noexcept {
  if (std::isnan(value)) return "NaN";
  return value > 0 ? "Infinity" : "-Infinity";
}

bool check_finite(std::string_view function, std::string_view argument, double value,
                  ScalarMessage& message) noexcept {
  if (std::isfinite(value)) return true;
  message.add(function);
  message.add(": ");
  message.add(argument);
  message.add(" is ");
  message.add(not_finite_text(value));
  message.add(", not a finite number");
  return false;
}

bool check_record_numbers(std::string_view function, const RetentionInput& input,
                          ScalarMessage& message) noexcept {
  const double values[4] = {input.days_since_recall, input.retrieval_count, input.importance,
                            input.frequency};
  for (int k = 0; k < 4; ++k) {
    if (!check_finite(function, kNumberArgumentNames[k], values[k], message)) return false;
  }
  return true;
}

}  // namespace quillmarrow
