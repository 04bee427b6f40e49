// The number reader takes digits eight at a time and skips overflow checks
// where they cannot fail. This test holds it to the plain procedure, one
// digit at a time with every check, on numbers built to cross the places
// where the fast paths start and stop: 8, 16, 19 and 20 digits, digits on
// both sides of the point, and the 64-bit limit.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "json/number_parse.hpp"

namespace quillmarrow {
namespace {

constexpr std::uint64_t kSignificandLimitDiv10 = std::numeric_limits<std::uint64_t>::max() / 10;
constexpr unsigned kSignificandLimitLastDigit = std::numeric_limits<std::uint64_t>::max() % 10;

bool is_digit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}
unsigned digit_value(char c) {
  return static_cast<unsigned>(c - '0');
}
bool digit_fits(std::uint64_t significand, unsigned digit) {
  return significand < kSignificandLimitDiv10 ||
         (significand == kSignificandLimitDiv10 && digit <= kSignificandLimitLastDigit);
}
bool fail(SyntaxFailure& failure, SyntaxErrorKind kind, std::size_t offset) {
  failure = SyntaxFailure{kind, offset};
  return false;
}
JsonNumber integer_number(std::uint64_t significand, bool negative) {
  if (!negative) return JsonNumber::from_unsigned(significand);
  if (significand == 0) return JsonNumber::from_double(-0.0);
  if (significand <= std::uint64_t{1} << 63) {
    return JsonNumber::from_negative(-static_cast<std::int64_t>(significand - 1) - 1);
  }
  return JsonNumber::from_double(-static_cast<double>(significand));
}
std::int32_t saturate_exponent(std::int64_t exponent) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(exponent < kMin ? kMin : exponent > kMax ? kMax : exponent);
}

// The procedure one digit at a time.
bool reference_read_number(std::string_view text, std::size_t& pos, bool negative, JsonNumber& out,
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
  bool is_integer = true;
  if (first == '0') {
    if (pos < n && is_digit(data[pos])) {
      return fail(failure, SyntaxErrorKind::invalid_number, pos + 1);
    }
  } else {
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
    out = integer_number(significand, negative);
    return true;
  }
  const std::optional<double> value =
      double_from_parts(significand, saturate_exponent(exponent), negative);
  // An overflow is reported at the number's last byte.
  if (!value) return fail(failure, SyntaxErrorKind::number_out_of_range, pos);
  out = JsonNumber::from_double(*value);
  return true;
}

struct Outcome {
  bool ok;
  std::size_t pos;
  JsonNumber::Kind kind;
  std::uint64_t bits;
  SyntaxErrorKind error;
  std::size_t offset;
};

Outcome outcome(bool ok, std::size_t pos, const JsonNumber& n, const SyntaxFailure& f) {
  std::uint64_t bits = n.kind == JsonNumber::Kind::floating
                           ? std::bit_cast<std::uint64_t>(n.double_value)
                           : n.unsigned_value;
  if (!ok) bits = 0;
  return {ok,
          pos,
          ok ? n.kind : JsonNumber::Kind::unsigned_integer,
          bits,
          ok ? SyntaxErrorKind{} : f.kind,
          ok ? 0 : f.offset};
}

// Reads text (after a minus sign if it has one) with both readers.
void expect_same(const std::string& text) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::size_t start = negative ? 1 : 0;
  std::size_t pos_a = start, pos_b = start;
  JsonNumber a, b;
  SyntaxFailure fa, fb;
  const bool ok_a = read_number(text, pos_a, negative, a, fa);
  const bool ok_b = reference_read_number(text, pos_b, negative, b, fb);
  const Outcome x = outcome(ok_a, pos_a, a, fa);
  const Outcome y = outcome(ok_b, pos_b, b, fb);
  EXPECT_EQ(x.ok, y.ok) << text;
  EXPECT_EQ(x.pos, y.pos) << text;
  EXPECT_EQ(x.kind, y.kind) << text;
  EXPECT_EQ(x.bits, y.bits) << text;
  EXPECT_EQ(x.error, y.error) << text;
  EXPECT_EQ(x.offset, y.offset) << text;
}

TEST(NumberFastPath, ChosenNumbersReadAsOneDigitAtATime) {
  const char* texts[] = {
      "0",
      "-0",
      "7",
      "12345678",
      "123456789",
      "1234567890123456",
      "12345678901234567",
      "1234567890123456789",
      "9999999999999999999",
      "18446744073709551615",
      "18446744073709551616",
      "18446744073709551619.5",
      "184467440737095516150",
      "99999999999999999999999",
      "0.12345678",
      "0.1234567890123456789012",
      "-65.613616999999977",
      "43.420273000000009",
      "0.00000000000000000000001234",
      "1.5e10",
      "12345678.87654321e-5",
      "1234567890123456789.123",
      "00",
      "01",
      "1.",
      "1.x",
      "1e",
      "1e+",
      "-",
      "-a",
      "1234567a",
      "12345678a9",
      "1.2345678a",
      "0.0000000000000000000",
      "123456781234567812345678.12345678",
      "1e400",
      "1e-400",
      "123.456e2147483648",
      // Where the short road for nineteen digits and no exponent ends.
      "0.87, \"frequency\"",
      "145.64}",
      "383461]",
      "1.5E3",
      "1.5e3",
      "7E1",
      "-0.000",
      "0.123456789012345678",
      "0.1234567890123456789",
      "123456789012345678.5",
      "1234567890123456789.5",
      "9999999999999999999.0",
      // Numbers that end inside, or just past, one eight-byte word.
      "1234567,        ",
      "12345678,       ",
      "123456.7,       ",
      "1234567.8,      ",
      "1.23456,        ",
      "1.234567,       ",
      "0.5e1,          ",
      "12.5E,          ",
      "0,              ",
      "-0,             ",
      "-0.0}           ",
      "05,             ",
      "1.,             ",
      "1..5            ",
      "7.5\xfa\xff       ",
  };
  for (const char* text : texts) expect_same(text);
}

TEST(NumberFastPath, RandomNumbersReadAsOneDigitAtATime) {
  std::mt19937_64 rng(4141);
  auto digits = [&](std::size_t count) {
    std::string s;
    for (std::size_t i = 0; i < count; ++i) s.push_back(static_cast<char>('0' + rng() % 10));
    return s;
  };
  for (int i = 0; i < 200000; ++i) {
    std::string text = rng() % 4 == 0 ? "-" : "";
    const std::size_t int_digits = rng() % 26;
    text += int_digits == 0
                ? "0"
                : std::string(1, static_cast<char>('1' + rng() % 9)) + digits(int_digits - 1);
    if (rng() % 4 != 0) text += "." + digits(rng() % 26 + (rng() % 8 == 0 ? 0 : 1));
    if (rng() % 4 == 0) text += (rng() % 2 ? "e-" : "e") + std::to_string(rng() % 40);
    // What may follow a number: a delimiter, or a stray byte that must stop it.
    const char* tails[] = {"", ",", "]", " ", "x", "9"};
    text += tails[rng() % 6];
    // Bytes after it, so that the eight-byte steps see the number's end.
    const char* after[] = {"", "       ", ",123456789012]", "\xff\xfa:00000000"};
    text += after[rng() % 4];
    expect_same(text);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace quillmarrow
