// Doubles as text: the shortest decimal digits that read back to the same
// double, laid out as a plain decimal for moderate exponents and in
// scientific form otherwise.
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>

#include "json/writer.hpp"

namespace quillmarrow {
namespace {

// Longest text: a sign, "0.0000" and 17 digits (24 bytes); the scientific
// form needs at most 1 + 1 + 1 + 16 + 2 + 3 = 24 bytes as well.
constexpr std::size_t kDoubleBufferSize = 32;

// Writes the text of x into buf and returns its length. A non-finite x, which
// a value tree never holds, is written as "null" so the output stays JSON.
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

  // Shortest round-trip digits in scientific form: "d[.ddd]e(+|-)XX[X]".
  // std::to_chars picks, among the shortest strings, the one nearest to x
  // (ties to an even last digit).
  char sci[kDoubleBufferSize];
  const std::to_chars_result r =
      std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
  const char* end = r.ptr;
  char digits[20];
  int k = 0;
  const char* s = sci;
  for (; s < end && *s != 'e'; ++s) {
    if (*s != '.') digits[k++] = *s;
  }
  // s points at 'e'; the exponent has a sign and at least two digits.
  ++s;
  const bool negative_exponent = *s == '-';
  ++s;
  int e = 0;
  for (; s < end; ++s) e = e * 10 + (*s - '0');
  if (negative_exponent) e = -e;

  if (e >= 0 && e <= 15) {
    if (e >= k - 1) {
      // An integer value: the digits, the zeros up to the units, ".0".
      std::memcpy(p, digits, static_cast<std::size_t>(k));
      p += k;
      const int zeros = e - k + 1;
      std::memset(p, '0', static_cast<std::size_t>(zeros));
      p += zeros;
      *p++ = '.';
      *p++ = '0';
    } else {
      std::memcpy(p, digits, static_cast<std::size_t>(e + 1));
      p += e + 1;
      *p++ = '.';
      std::memcpy(p, digits + e + 1, static_cast<std::size_t>(k - e - 1));
      p += k - e - 1;
    }
  } else if (e >= -5 && e <= -1) {
    *p++ = '0';
    *p++ = '.';
    const int zeros = -e - 1;
    std::memset(p, '0', static_cast<std::size_t>(zeros));
    p += zeros;
    std::memcpy(p, digits, static_cast<std::size_t>(k));
    p += k;
  } else {
    *p++ = digits[0];
    if (k > 1) {
      *p++ = '.';
      std::memcpy(p, digits + 1, static_cast<std::size_t>(k - 1));
      p += k - 1;
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
