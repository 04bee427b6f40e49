// The arguments of the database functions: every number must be finite.
// The message names the function and the argument:
//   quillmarrow_retention: importance is NaN, not a finite number
#pragma once

#include <string_view>

#include "scalar/message.hpp"
#include "scoring/records.hpp"

namespace quillmarrow {

// The names of the four numbers of a record, in parameter order.
inline constexpr std::string_view kNumberArgumentNames[4] = {"days_since_recall", "retrieval_count",
                                                             "importance", "frequency"};

// "NaN", "Infinity" or "-Infinity" for a value that is not finite.
std::string_view not_finite_text(double value) noexcept;

// True when value is finite; otherwise writes the message and returns false.
bool check_finite(std::string_view function, std::string_view argument, double value,
                  ScalarMessage& message) noexcept;

// The four numbers of a record, in parameter order; the first that is not
// finite is reported.
bool check_record_numbers(std::string_view function, const RetentionInput& input,
                          ScalarMessage& message) noexcept;

}  // namespace quillmarrow
