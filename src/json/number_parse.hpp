// Reading a JSON number: its significand, decimal exponent and sign, and the
// double those parts stand for.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "json/digit_words.hpp"
#include "json/number.hpp"
#include "json/powers_of_ten.hpp"
#include "json/syntax_failure.hpp"

namespace quillmarrow {

// The double significand x 10^exponent (negated when negative), computed by
// rounding the significand to the nearest double and then multiplying or
// dividing by the table values 1e0..1e308, one IEEE-754 operation per step;
// exponents beyond 308 first divide by 1e308 as often as needed. This is not a
// correctly rounded conversion and may differ from one in the last bit.
// Returns nothing when the magnitude overflows to infinity.
std::optional<double> double_from_parts(std::uint64_t significand, std::int32_t exponent,
                                        bool negative);

// The number that starts at pos, read by the whole procedure (see read_number);
// every number read_number's short road leaves aside comes here.
bool read_number_general(std::string_view text, std::size_t& pos, bool negative, JsonNumber& out,
                         SyntaxFailure& failure);

// An integer literal (no fraction, no exponent, no dropped digit) with this
// significand: unsigned, or negative down to -9223372036854775808, or the
// nearest double below that; -0 is the double -0.0.
inline JsonNumber integer_number_of(std::uint64_t significand, bool negative) {
  if (!negative) return JsonNumber::from_unsigned(significand);
  if (significand == 0) return JsonNumber::from_double(-0.0);
  constexpr std::uint64_t kLargestNegativeMagnitude = std::uint64_t{1} << 63;
  if (significand <= kLargestNegativeMagnitude) {
    // -significand, computed without overflowing for -9223372036854775808.
    return JsonNumber::from_negative(-static_cast<std::int64_t>(significand - 1) - 1);
  }
  return JsonNumber::from_double(-static_cast<double>(significand));
}

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
//
// Numbers are most of what a batch is made of, so this is the reader's inner
// loop and is inlined into it. It takes a short road for the numbers that
// nearly every document holds: at most nineteen digits in all and no
// exponent. Their significand is exact, their exponent is minus the count of
// fraction digits, and double_from_parts comes down to one division by a
// table power, which is written out here. Anything else (more digits, an
// exponent, a syntax error) is read again from its start by
// read_number_general, so the short road never decides an unusual case.
[[gnu::always_inline]] inline bool read_number(std::string_view text, std::size_t& pos,
                                               bool negative, JsonNumber& out,
                                               SyntaxFailure& failure) {
  using namespace digit_words;
  const char* const data = text.data();
  const std::size_t n = text.size();
  std::size_t at = pos;
  if (at == n || !is_digit(data[at])) {
    return read_number_general(text, pos, negative, out, failure);
  }
  std::uint64_t significand = 0;
  int digits = 0;
  bool integer_read = false;
  // Most numbers of a record lie with the byte after them in the next eight
  // bytes ("5,", "0.87}", "145.64,"). One word then gives where the integer
  // digits end and where the fraction ends, and dropping the point joins
  // both runs of digits, which are converted in one step. A longer fraction
  // ("-65.613616999999977") still takes its integer digits from this word.
  if (n - at >= 8) {
    const std::uint64_t word = string_scan_detail::load_little_endian(data + at);
    const std::uint64_t marks = non_digit_marks(word);
    // The integer digits, when they end inside the word: 1 to 7 of them, and
    // no leading zero before another digit.
    const int integer_digits = std::countr_zero(marks) / 8;
    if (marks != 0 && (data[at] != '0' || integer_digits == 1)) {
      // Bytes of the word come from the register: no second load to wait on.
      const auto after_integer = static_cast<char>(word >> (8 * integer_digits));
      if (after_integer != '.') {
        if ((after_integer | 0x20) == 'e') {
          return read_number_general(text, pos, negative, out, failure);
        }
        out = integer_number_of(leading_digits_value(word, integer_digits), negative);
        pos = at + static_cast<std::size_t>(integer_digits);
        return true;
      }
      if (integer_digits < 7) {
        // Marks past the point are exact: digits and the point never carry
        // into the next byte in non_digit_marks.
        const int point_shift = 8 * (integer_digits + 1);
        const std::uint64_t fraction_marks = marks >> point_shift;
        const int fraction_digits = std::countr_zero(fraction_marks) / 8;
        if (fraction_marks != 0 && fraction_digits > 0 &&
            (static_cast<char>(word >> (point_shift + 8 * fraction_digits)) | 0x20) != 'e') {
          const std::uint64_t integer_mask = (std::uint64_t{1} << (8 * integer_digits)) - 1;
          const std::uint64_t joined = (word & integer_mask) | ((word >> 8) & ~integer_mask);
          const double magnitude =
              static_cast<double>(leading_digits_value(joined, integer_digits + fraction_digits)) /
              kPowersOfTen[fraction_digits];
          out = JsonNumber::from_double(negative ? -magnitude : magnitude);
          pos = at + static_cast<std::size_t>(integer_digits + 1 + fraction_digits);
          return true;
        }
      }
      significand = leading_digits_value(word, integer_digits);
      digits = integer_digits;
      at += static_cast<std::size_t>(integer_digits);
      integer_read = true;
    }
  }
  if (!integer_read) {
    if (data[at] == '0') {
      // A leading 0 is the whole integer part.
      ++at;
      digits = 1;
    } else {
      digits = take_digits(data, at, n, significand, kDigitsThatAlwaysFit);
    }
  }
  bool more = at < n;
  if (more && data[at] == '.') {
    ++at;
    if (at == n || !is_digit(data[at]) || digits == kDigitsThatAlwaysFit) {
      return read_number_general(text, pos, negative, out, failure);
    }
    const int fraction = take_digits(data, at, n, significand, kDigitsThatAlwaysFit - digits);
    more = at < n;
    if (more && (is_digit(data[at]) || (data[at] | 0x20) == 'e')) {
      return read_number_general(text, pos, negative, out, failure);
    }
    const double magnitude = static_cast<double>(significand) / kPowersOfTen[fraction];
    out = JsonNumber::from_double(negative ? -magnitude : magnitude);
    pos = at;
    return true;
  }
  if (more && (is_digit(data[at]) || (data[at] | 0x20) == 'e')) {
    return read_number_general(text, pos, negative, out, failure);
  }
  out = integer_number_of(significand, negative);
  pos = at;
  return true;
}

}  // namespace quillmarrow
