// Doubles as text: the shortest decimal digits that read back to the same
// double, laid out as a plain decimal for moderate exponents and in
// scientific form otherwise.
#include <charconv>
#include <cmath>
#include <cstddef>
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
constexpr std::size_t kDoubleBufferSize = 48;
constexpr std::size_t kBlock = 16;  // at least the 16 digits after the first

// Writes the text of x into buf and returns its length. A non-finite x is
// written as "null" so the output stays JSON.
std::size_t format_double_into(char* buf, double x) {
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
  char digits[kDoubleBufferSize];
  const int k = static_cast<int>(std::to_chars(digits, digits + 20, d.significand).ptr - digits);
  const int e = d.exponent + k - 1;
  const char first = digits[0];
  const char* rest = digits + 1;

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

}  // namespace

std::string format_double(double x) {
  char buf[kDoubleBufferSize];
  return std::string(buf, format_double_into(buf, x));
}

void append_double(std::string& out, double x) {
  char buf[kDoubleBufferSize];
  out.append(buf, format_double_into(buf, x));
}

}  // namespace quillmarrow
