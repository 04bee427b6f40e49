#include "json/number_parse.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "json/digit_words.hpp"
#include "json/powers_of_ten.hpp"

namespace quillmarrow {
namespace {

using namespace digit_words;

static constexpr std::int64_t kLargestTablePower = 308;

constexpr std::uint64_t kSignificandLimitDiv10 = std::numeric_limits<std::uint64_t>::max() / 10;
constexpr unsigned kSignificandLimitLastDigit = std::numeric_limits<std::uint64_t>::max() % 10;

// Whether significand x 10 + digit stays within 18446744073709551615.
bool digit_fits(std::uint64_t significand, unsigned digit) {
  return significand < kSignificandLimitDiv10 ||
         (significand == kSignificandLimitDiv10 && digit <= kSignificandLimitLastDigit);
}

bool fail(SyntaxFailure& failure, SyntaxErrorKind kind, std::size_t offset) {
  failure = SyntaxFailure{kind, offset};
  return false;
}

std::int32_t saturate_exponent(std::int64_t exponent) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(exponent < kMin ? kMin : exponent > kMax ? kMax : exponent);
}

}  // namespace

std::optional<double> double_from_parts(std::uint64_t significand, std::int32_t exponent,
                                        bool negative) {
  double f = static_cast<double>(significand);
  std::int64_t e = exponent;
  for (;;) {
    if (e >= -kLargestTablePower && e <= kLargestTablePower) {
      if (e >= 0) {
        f *= kPowersOfTen[e];
        if (std::isinf(f)) return std::nullopt;
      } else {
        f /= kPowersOfTen[-e];
      }
      break;
    }
    if (f == 0.0) break;
    if (e > 0) return std::nullopt;
    f /= kPowersOfTen[kLargestTablePower];
    e += kLargestTablePower;
  }
  return negative ? -f : f;
}

bool read_number_general(std::string_view text, std::size_t& pos, bool negative, JsonNumber& out,
                         SyntaxFailure& failure) {
  const char* data = text.data();
  const std::size_t n = text.size();

  // First digit; a leading 0 is the whole integer part.
  if (pos == n) return fail(failure, SyntaxErrorKind::eof_while_parsing_value, n);
  const char first = data[pos++];
  if (!is_digit(first)) return fail(failure, SyntaxErrorKind::invalid_number, pos);
  std::uint64_t significand = digit_value(first);
  // Digits dropped from the integer part minus digits taken from the fraction.
  std::int64_t exponent = 0;
  // Digits taken into the significand so far: it is below 10^digits.
  int digits = 1;
  bool is_integer = true;
  if (first == '0') {
    if (pos < n && is_digit(data[pos])) {
      return fail(failure, SyntaxErrorKind::invalid_number, pos + 1);
    }
  } else {
    digits = 1 + take_digits(data, pos, n, significand, kDigitsThatAlwaysFit - 1);
    bool frozen = false;
    for (; pos < n && is_digit(data[pos]); ++pos) {
      const unsigned digit = digit_value(data[pos]);
      if (!frozen && digit_fits(significand, digit)) {
        significand = significand * 10 + digit;
      } else {
        frozen = true;
        ++exponent;
      }
    }
    is_integer = !frozen;
  }

  if (pos < n && data[pos] == '.') {
    ++pos;
    is_integer = false;
    if (pos == n) return fail(failure, SyntaxErrorKind::eof_while_parsing_value, n);
    if (!is_digit(data[pos])) return fail(failure, SyntaxErrorKind::invalid_number, pos + 1);
    if (digits < kDigitsThatAlwaysFit) {
      const int taken = take_digits(data, pos, n, significand, kDigitsThatAlwaysFit - digits);
      digits += taken;
      exponent -= taken;
    }
    bool dropping = false;
    for (; pos < n && is_digit(data[pos]); ++pos) {
      const unsigned digit = digit_value(data[pos]);
      if (!dropping && digit_fits(significand, digit)) {
        significand = significand * 10 + digit;
        --exponent;
      } else {
        dropping = true;
      }
    }
  }

  if (pos < n && (data[pos] == 'e' || data[pos] == 'E')) {
    ++pos;
    is_integer = false;
    bool exponent_negative = false;
    if (pos < n && (data[pos] == '+' || data[pos] == '-')) {
      exponent_negative = data[pos] == '-';
      ++pos;
    }
    if (pos == n) return fail(failure, SyntaxErrorKind::eof_while_parsing_value, n);
    if (!is_digit(data[pos])) return fail(failure, SyntaxErrorKind::invalid_number, pos + 1);
    constexpr std::int32_t kMaxDiv10 = std::numeric_limits<std::int32_t>::max() / 10;
    constexpr unsigned kMaxLastDigit = std::numeric_limits<std::int32_t>::max() % 10;
    std::int32_t value = 0;
    while (pos < n && is_digit(data[pos])) {
      const unsigned digit = digit_value(data[pos++]);
      if (value > kMaxDiv10 || (value == kMaxDiv10 && digit > kMaxLastDigit)) {
        // The exponent does not fit in 32 bits: a huge magnitude is out of
        // range, anything else is zero.
        if (significand != 0 && !exponent_negative) {
          return fail(failure, SyntaxErrorKind::number_out_of_range, pos);
        }
        while (pos < n && is_digit(data[pos])) ++pos;
        out = JsonNumber::from_double(negative ? -0.0 : 0.0);
        return true;
      }
      value = value * 10 + static_cast<std::int32_t>(digit);
    }
    exponent = exponent_negative ? exponent - value : exponent + value;
  }

  if (is_integer) {
    out = integer_number_of(significand, negative);
    return true;
  }
  const std::optional<double> value =
      double_from_parts(significand, saturate_exponent(exponent), negative);
  // An overflow is reported at the number's last byte.
  if (!value) return fail(failure, SyntaxErrorKind::number_out_of_range, pos);
  out = JsonNumber::from_double(*value);
  return true;
}

}  // namespace quillmarrow
