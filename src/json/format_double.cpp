// Doubles as text: the shortest decimal digits that read back to the same
// double, laid out as a plain decimal for moderate exponents and in
// scientific form otherwise.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "json/shortest_digits.hpp"
#include "json/writer.hpp"

namespace quillmarrow {
namespace {

// Longest text: a sign, "0.0000" and 17 digits (24 bytes); the scientific
// form needs at most 1 + 1 + 1 + 16 + 2 + 3 = 24 bytes as well. The buffers
// have room to spare so that digits are moved in fixed-size blocks: a copy of
// a constant size compiles to a few moves, where a copy of a variable size is
// a library call, and this runs once per double of every result.
constexpr std::size_t kBlock = 16;  // at least the 16 digits after the first
static_assert(kDoubleTextRoom >= 24 + kBlock + 8);

// "00" to "99": two digits per table read halve the divisions.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

void write_pair(char* p, std::uint32_t pair) {
  std::memcpy(p, kDigitPairs + 2 * pair, 2);
}

// The eight digits of x < 10^8, leading zeros included.
void write_eight_digits(char* p, std::uint32_t x) {
  const std::uint32_t high = x / 10000;
  const std::uint32_t low = x % 10000;
  write_pair(p, high / 100);
  write_pair(p + 2, high % 100);
  write_pair(p + 4, low / 100);
  write_pair(p + 6, low % 100);
}

// The number of decimal digits of v > 0: the bit length gives it to within
// one (1233 / 4096 is just above log10(2)), a table lookup settles it.
int decimal_length(std::uint64_t v) {
  static constexpr std::uint64_t kPowers[20] = {1,
                                                10,
                                                100,
                                                1000,
                                                10000,
                                                100000,
                                                1000000,
                                                10000000,
                                                100000000,
                                                1000000000,
                                                10000000000,
                                                100000000000,
                                                1000000000000,
                                                10000000000000,
                                                100000000000000,
                                                1000000000000000,
                                                10000000000000000,
                                                100000000000000000,
                                                1000000000000000000,
                                                10000000000000000000u};
  const int guess = (std::bit_width(v) * 1233) >> 12;
  return guess + (v >= kPowers[guess] ? 1 : 0);
}

// Writes the k digits of a significand 0 < v < 10^17 so that they end at
// end, and returns k. Blocks of eight digits, written without a loop, are
// a third of the work of std::to_chars's digit-pair loop on 17 digits.
int write_significand(char* end, std::uint64_t v) {
  constexpr std::uint64_t kEightDigits = 100000000;
  const int k = decimal_length(v);
  write_eight_digits(end - 8, static_cast<std::uint32_t>(v % kEightDigits));
  if (k > 8) {
    const std::uint64_t upper = v / kEightDigits;
    write_eight_digits(end - 16, static_cast<std::uint32_t>(upper % kEightDigits));
    // A seventeenth digit is alone in its block: written by itself.
    if (k > 16) end[-17] = static_cast<char>('0' + upper / kEightDigits);
  }
  return k;
}

}  // namespace

// A non-finite x is written as "null" so the output stays JSON.
std::size_t write_double(char* buf, double x) {
  if (!std::isfinite(x)) {
    std::memcpy(buf, "null", 4);
    return 4;
  }
  char* p = buf;
  if (std::signbit(x)) {
    *p++ = '-';
    x = -x;
  }
  if (x == 0.0) {
    std::memcpy(p, "0.0", 3);
    return static_cast<std::size_t>(p - buf) + 3;
  }

  // The shortest digits as text: first, then the k - 1 others from rest;
  // the decimal exponent e of the first digit places the point.
  const DecimalDigits d = shortest_digits(x);
  char digits[64];
  const int k = write_significand(digits + 24, d.significand);
  const int e = d.exponent + k - 1;
  const char first = digits[24 - k];
  const char* rest = digits + 25 - k;

  if (e >= 0 && e <= 15) {
    *p = first;
    std::memcpy(p + 1, rest, kBlock);
    if (e >= k - 1) {
      // An integer value: the digits, the zeros up to the units, ".0".
      p += k;
      std::memset(p, '0', kBlock);
      p += e - k + 1;
      *p++ = '.';
      *p++ = '0';
    } else {
      // The first e + 1 digits, the point, the remaining k - e - 1 digits.
      p[e + 1] = '.';
      std::memcpy(p + e + 2, rest + e, kBlock);
      p += k + 1;
    }
  } else if (e >= -5 && e <= -1) {
    // "0.", then -e - 1 zeros (at most 4), then the digits.
    std::memcpy(p, "0.0000", 6);
    p += 1 - e;
    *p = first;
    std::memcpy(p + 1, rest, kBlock);
    p += k;
  } else {
    // Scientific: "d[.ddd]e", the exponent's sign, which is always written,
    // and its digits without a leading zero.
    *p++ = first;
    if (k > 1) {
      *p = '.';
      std::memcpy(p + 1, rest, kBlock);
      p += k;
    }
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    const int magnitude = e < 0 ? -e : e;
    if (magnitude >= 100) *p++ = static_cast<char>('0' + magnitude / 100);
    if (magnitude >= 10) *p++ = static_cast<char>('0' + magnitude / 10 % 10);
    *p++ = static_cast<char>('0' + magnitude % 10);
  }
  return static_cast<std::size_t>(p - buf);
}

std::string format_double(double x) {
  char buf[kDoubleTextRoom];
  return std::string(buf, write_double(buf, x));
}

void append_double(std::string& out, double x) {
  char buf[kDoubleTextRoom];
  out.append(buf, write_double(buf, x));
}

}  // namespace quillmarrow
