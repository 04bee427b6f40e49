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
// form needs at most 1 + 1 + 1 + 16 + 2 + 3 = 24 bytes as well. The buffers
// have room to spare so that digits are moved in fixed-size blocks: a copy of
// a constant size compiles to a few moves, where a copy of a variable size is
// a library call, and this runs once per double of every result.
constexpr std::size_t kDoubleBufferSize = 48;
constexpr std::size_t kBlock = 16;  // at least the 16 digits after the first

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

  // Shortest round-trip digits in scientific form: "d[.ddd]e(+|-)XX[X]",
  // with at least two exponent digits. std::to_chars picks, among the
  // shortest strings, the one nearest to x (ties to an even last digit).
  char sci[kDoubleBufferSize];
  const char* end = std::to_chars(sci, sci + 32, x, std::chars_format::scientific).ptr;
  const char* mark = end[-4] == 'e' ? end - 4 : end - 5;  // the 'e'
  const char first = sci[0];
  const char* rest = sci + 2;  // the digits after the first, if any
  const int k = mark - sci > 1 ? static_cast<int>(mark - sci) - 1 : 1;
  int e = (mark[2] - '0') * 10 + (mark[3] - '0');
  if (mark + 5 == end) e = e * 10 + (mark[4] - '0');
  if (mark[1] == '-') e = -e;

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
    // The scientific form as std::to_chars wrote it, but for the exponent's
    // sign, which is always written, and its leading zero, which is not.
    std::memcpy(p, sci, 24);
    p += mark - sci + 1;
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
