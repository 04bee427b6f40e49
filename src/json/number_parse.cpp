#include "json/number_parse.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "json/string_scan.hpp"

namespace quillmarrow {
namespace {

// The doubles nearest to 10^0 .. 10^308; the compiler rounds each literal to
// the nearest double.
static constexpr double kPowersOfTen[309] = {
    1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,
    1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,
    1e26,  1e27,  1e28,  1e29,  1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,
    1e39,  1e40,  1e41,  1e42,  1e43,  1e44,  1e45,  1e46,  1e47,  1e48,  1e49,  1e50,  1e51,
    1e52,  1e53,  1e54,  1e55,  1e56,  1e57,  1e58,  1e59,  1e60,  1e61,  1e62,  1e63,  1e64,
    1e65,  1e66,  1e67,  1e68,  1e69,  1e70,  1e71,  1e72,  1e73,  1e74,  1e75,  1e76,  1e77,
    1e78,  1e79,  1e80,  1e81,  1e82,  1e83,  1e84,  1e85,  1e86,  1e87,  1e88,  1e89,  1e90,
    1e91,  1e92,  1e93,  1e94,  1e95,  1e96,  1e97,  1e98,  1e99,  1e100, 1e101, 1e102, 1e103,
    1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116,
    1e117, 1e118, 1e119, 1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129,
    1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142,
    1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152, 1e153, 1e154, 1e155,
    1e156, 1e157, 1e158, 1e159, 1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168,
    1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179, 1e180, 1e181,
    1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191, 1e192, 1e193, 1e194,
    1e195, 1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207,
    1e208, 1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220,
    1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233,
    1e234, 1e235, 1e236, 1e237, 1e238, 1e239, 1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246,
    1e247, 1e248, 1e249, 1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259,
    1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271, 1e272,
    1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284, 1e285,
    1e286, 1e287, 1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298,
    1e299, 1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308,
};
static_assert(sizeof(kPowersOfTen) / sizeof(kPowersOfTen[0]) == 309);
static constexpr std::int64_t kLargestTablePower = 308;

constexpr std::uint64_t kSignificandLimitDiv10 = std::numeric_limits<std::uint64_t>::max() / 10;
constexpr unsigned kSignificandLimitLastDigit = std::numeric_limits<std::uint64_t>::max() % 10;

bool is_digit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}
unsigned digit_value(char c) {
  return static_cast<unsigned>(c - '0');
}

// Whether significand x 10 + digit stays within 18446744073709551615.
bool digit_fits(std::uint64_t significand, unsigned digit) {
  return significand < kSignificandLimitDiv10 ||
         (significand == kSignificandLimitDiv10 && digit <= kSignificandLimitLastDigit);
}

// Nineteen decimal digits always fit in 64 bits (10^19 - 1 < 2^64 - 1), so
// the first nineteen digits of a significand need no overflow check: the
// digit loops below take that many freely and check only the digits beyond.
constexpr int kDigitsThatAlwaysFit = 19;

// One mark (a nonzero nibble) in each byte of word (first byte lowest) that
// is not '0'..'9': a digit's high nibble is 3, and adding 6 does not carry
// into it. A byte above 0xF9 carries into the next byte, but it is marked
// itself, so the lowest mark is always exact.
std::uint64_t non_digit_marks(std::uint64_t word) {
  constexpr std::uint64_t kHighNibbles = 0xF0F0F0F0F0F0F0F0u;
  constexpr std::uint64_t kThrees = 0x3333333333333333u;
  constexpr std::uint64_t kSixes = 0x0606060606060606u;
  return ((word & kHighNibbles) | (((word + kSixes) & kHighNibbles) >> 4)) ^ kThrees;
}

// The value of eight ASCII digits (first byte lowest, so most significant),
// combined pairwise: 8 digits -> 4 two-digit -> 2 four-digit -> 1 value.
std::uint32_t eight_digits_value(std::uint64_t word) {
  word -= 0x3030303030303030u;
  word = (word * 10 + (word >> 8)) & 0x00FF00FF00FF00FFu;          // pairs, in 16-bit lanes
  word = (word * 100 + (word >> 16)) & 0x0000FFFF0000FFFFu;        // quads, in 32-bit lanes
  return static_cast<std::uint32_t>(word * 10000 + (word >> 32));  // low 32 bits
}

// The value of the first k digits of word, 0 < k < 8: they move to the last
// k places and '0's fill the first ones, so that eight digits are combined.
std::uint32_t leading_digits_value(std::uint64_t word, int k) {
  const int shift = 8 * (8 - k);
  return eight_digits_value((word << shift) | (0x3030303030303030u >> (64 - shift)));
}

constexpr std::uint32_t kSmallPowersOfTen[9] = {1,      10,      100,      1000,     10000,
                                                100000, 1000000, 10000000, 100000000};

// Appends up to `room` digits at pos to significand without overflow checks
// (the caller guarantees that significand < 10^(19 - room)), and returns how
// many it took. A number reader spends most of its time here, so the digits
// are taken from eight bytes at a time: all eight when they are digits, or
// the run of digits before the first other byte, in one step either way.
// A coordinate such as "-65.613616999999977" takes three steps.
[[gnu::always_inline]] inline int take_digits(const char* data, std::size_t& pos, std::size_t n,
                                              std::uint64_t& significand, int room) {
  // Local copies: pos and significand have the same type and may alias, so
  // working on them through the references would store both at every step.
  std::size_t at = pos;
  std::uint64_t value = significand;
  int taken = 0;
  while (n - at >= 8) {
    const std::uint64_t word = string_scan_detail::load_little_endian(data + at);
    const std::uint64_t marks = non_digit_marks(word);
    int k = marks == 0 ? 8 : std::countr_zero(marks) / 8;
    if (k > room - taken) k = room - taken;
    if (k == 8) {
      value = value * kSmallPowersOfTen[8] + eight_digits_value(word);
    } else if (k > 0) {
      value = value * kSmallPowersOfTen[k] + leading_digits_value(word, k);
    }
    at += static_cast<std::size_t>(k);
    taken += k;
    if (k < 8) break;
  }
  // Fewer than eight bytes left in the text: one digit at a time.
  if (n - at < 8) {
    for (; taken < room && at < n && is_digit(data[at]); ++at, ++taken) {
      value = value * 10 + digit_value(data[at]);
    }
  }
  pos = at;
  significand = value;
  return taken;
}

bool fail(SyntaxFailure& failure, SyntaxErrorKind kind, std::size_t offset) {
  failure = SyntaxFailure{kind, offset};
  return false;
}

// An integer literal (no fraction, no exponent, no dropped digit).
JsonNumber integer_number(std::uint64_t significand, bool negative) {
  if (!negative) return JsonNumber::from_unsigned(significand);
  if (significand == 0) return JsonNumber::from_double(-0.0);
  constexpr std::uint64_t kLargestNegativeMagnitude = std::uint64_t{1} << 63;
  if (significand <= kLargestNegativeMagnitude) {
    // -significand, computed without overflowing for -9223372036854775808.
    return JsonNumber::from_negative(-static_cast<std::int64_t>(significand - 1) - 1);
  }
  return JsonNumber::from_double(-static_cast<double>(significand));
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

bool read_number(std::string_view text, std::size_t& pos, bool negative, JsonNumber& out,
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

}  // namespace quillmarrow
