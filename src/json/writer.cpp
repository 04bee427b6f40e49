// Compact JSON text of numbers and strings, appended into one growing buffer.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "json/string_scan.hpp"
#include "json/writer.hpp"

namespace quillmarrow {
namespace {

// The pairs "00" to "99", so integers are converted two digits per step.
constexpr char kDigitPairs[201] =
    "00010203040506070809"
    "10111213141516171819"
    "20212223242526272829"
    "30313233343536373839"
    "40414243444546474849"
    "50515253545556575859"
    "60616263646566676869"
    "70717273747576777879"
    "80818283848586878889"
    "90919293949596979899";

// Appends the decimal digits of v ("0" for zero), after a minus sign if asked.
void append_unsigned(std::string& out, std::uint64_t v, bool minus) {
  char buf[21];  // a sign and the 20 digits of 18446744073709551615
  char* end = buf + sizeof buf;
  char* p = end;
  while (v >= 100) {
    const std::size_t pair = static_cast<std::size_t>(v % 100) * 2;
    v /= 100;
    p -= 2;
    p[0] = kDigitPairs[pair];
    p[1] = kDigitPairs[pair + 1];
  }
  if (v >= 10) {
    const std::size_t pair = static_cast<std::size_t>(v) * 2;
    p -= 2;
    p[0] = kDigitPairs[pair];
    p[1] = kDigitPairs[pair + 1];
  } else {
    *--p = static_cast<char>('0' + v);
  }
  if (minus) *--p = '-';
  out.append(p, static_cast<std::size_t>(end - p));
}

// What a byte becomes inside a quoted string: 0 for itself, otherwise the
// letter of a two-character escape, or 'u' for the \u00XX form.
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[static_cast<std::size_t>(b)] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

void append_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t pos = 0;
  while (pos < s.size()) {
    // The bytes that need an escape are the ones that end a plain run when
    // a string is read.
    const std::size_t special = find_string_special(s.data(), pos, s.size());
    out.append(s.data() + pos, special - pos);
    pos = special;
    if (pos == s.size()) break;
    const unsigned char byte = static_cast<unsigned char>(s[pos]);
    const char letter = kEscape[byte];
    if (letter == 'u') {
      const char escape[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
      out.append(escape, sizeof escape);
    } else {
      const char escape[2] = {'\\', letter};
      out.append(escape, sizeof escape);
    }
    ++pos;
  }
  out.push_back('"');
}

void append_number(std::string& out, const JsonNumber& n) {
  switch (n.kind) {
    case JsonNumber::Kind::unsigned_integer:
      append_unsigned(out, n.unsigned_value, false);
      return;
    case JsonNumber::Kind::negative_integer:
      // Negate in unsigned arithmetic: the magnitude of INT64_MIN does not
      // fit an int64_t.
      append_unsigned(out, 0 - static_cast<std::uint64_t>(n.negative_value), true);
      return;
    case JsonNumber::Kind::floating:
      // append_double writes a non-finite double (never read) as null.
      append_double(out, n.double_value);
      return;
  }
}

}  // namespace

void append_json_number(std::string& out, const JsonNumber& number) {
  append_number(out, number);
}

void append_json_string(std::string& out, std::string_view text) {
  append_string(out, text);
}

}  // namespace quillmarrow
