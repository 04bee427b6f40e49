// Reading a JSON number: its significand, decimal exponent and sign, and the
// double those parts stand for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "json/number.hpp"
#include "json/syntax_failure.hpp"

namespace quillmarrow {

// Reads the number that starts at pos, just after its minus sign if it has one
// (negative tells). On success stores the number in out, leaves pos just after
// its last byte and returns true; otherwise fills failure and returns false.
//
// The digits accumulate into an unsigned 64-bit significand while it does not
// exceed 18446744073709551615. Integer digits beyond that freeze it and each
// add 1 to the decimal exponent; fraction digits beyond it are dropped. An
// integer literal whose significand never froze stays an integer (unsigned,
// or negative down to -9223372036854775808); everything else is a double made
// by double_from_parts.
bool read_number(std::string_view text, std::size_t& pos, bool negative, JsonNumber& out,
                 SyntaxFailure& failure);

// The double significand x 10^exponent (negated when negative), computed by
// rounding the significand to the nearest double and then multiplying or
// dividing by the table values 1e0..1e308, one IEEE-754 operation per step;
// exponents beyond 308 first divide by 1e308 as often as needed. This is not a
// correctly rounded conversion and may differ from one in the last bit.
// Returns nothing when the magnitude overflows to infinity.
std::optional<double> double_from_parts(std::uint64_t significand, std::int32_t exponent,
                                        bool negative);

}  // namespace quillmarrow
