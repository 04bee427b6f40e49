// The words that name a value in a decoding error, and the quoted form of a
// string used there.
#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <variant>

#include "json/error.hpp"
#include "json/writer.hpp"

namespace quillmarrow {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

// Code points that print as nothing, print as blank space, or combine with
// the preceding character; in the quoted form they are written as \u{hex}.
constexpr CodePointRange kEscapedRanges[] = {
#include "json/unicode_escape_table.inc"
};

bool is_escaped(char32_t cp) {
  // The first range whose last code point is not below cp.
  const auto* it =
      std::lower_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), cp,
                       [](const CodePointRange& range, char32_t c) { return range.last < c; });
  return it != std::end(kEscapedRanges) && it->first <= cp;
}

bool is_continuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

// Decodes one well-formed UTF-8 sequence at the start of s (n > 0 bytes):
// returns its length and stores the code point, or returns 0 when the first
// byte does not start a well-formed sequence (overlong forms, surrogates and
// code points above U+10FFFF are ill-formed).
std::size_t decode_utf8(const unsigned char* s, std::size_t n, char32_t& cp) {
  const unsigned char b0 = s[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (n < 2 || !is_continuation(s[1])) return 0;
    cp = static_cast<char32_t>(b0 & 0x1F) << 6 | (s[1] & 0x3F);
    return 2;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (n < 3 || !is_continuation(s[1]) || !is_continuation(s[2])) return 0;
    if (b0 == 0xE0 && s[1] < 0xA0) return 0;  // overlong
    if (b0 == 0xED && s[1] > 0x9F) return 0;  // surrogate
    cp = static_cast<char32_t>(b0 & 0x0F) << 12 | static_cast<char32_t>(s[1] & 0x3F) << 6 |
         (s[2] & 0x3F);
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (n < 4 || !is_continuation(s[1]) || !is_continuation(s[2]) || !is_continuation(s[3])) {
      return 0;
    }
    if (b0 == 0xF0 && s[1] < 0x90) return 0;  // overlong
    if (b0 == 0xF4 && s[1] > 0x8F) return 0;  // above U+10FFFF
    cp = static_cast<char32_t>(b0 & 0x07) << 18 | static_cast<char32_t>(s[1] & 0x3F) << 12 |
         static_cast<char32_t>(s[2] & 0x3F) << 6 | (s[3] & 0x3F);
    return 4;
  }
  return 0;
}

void append_brace_escape(std::string& out, char32_t cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[8];
  int k = 0;
  do {
    digits[k++] = kHex[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  out.append("\\u{", 3);
  while (k > 0) out.push_back(digits[--k]);
  out.push_back('}');
}

void append_integer(std::string& out, const JsonNumber& n) {
  if (n.kind == JsonNumber::Kind::unsigned_integer) {
    out += std::to_string(n.unsigned_value);
  } else {
    out += std::to_string(n.negative_value);
  }
}

}  // namespace

// Strings from the reader are valid UTF-8. Text from elsewhere may not be:
// each byte that does not start a well-formed UTF-8 sequence is written as
// the replacement character U+FFFD, so the result is always valid UTF-8.
std::string quote_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size();
  while (n > 0) {
    char32_t cp = 0;
    const std::size_t len = decode_utf8(s, n, cp);
    if (len == 0) {
      out.append("\xEF\xBF\xBD", 3);
      ++s;
      --n;
      continue;
    }
    switch (cp) {
      case U'"':
        out.append("\\\"", 2);
        break;
      case U'\\':
        out.append("\\\\", 2);
        break;
      case U'\t':
        out.append("\\t", 2);
        break;
      case U'\r':
        out.append("\\r", 2);
        break;
      case U'\n':
        out.append("\\n", 2);
        break;
      case U'\0':
        out.append("\\0", 2);
        break;
      default:
        if (is_escaped(cp)) {
          append_brace_escape(out, cp);
        } else {
          out.append(reinterpret_cast<const char*>(s), len);
        }
    }
    s += len;
    n -= len;
  }
  out.push_back('"');
  return out;
}

std::string describe_value(const JsonValue& value) {
  struct Describer {
    std::string operator()(JsonNull) const { return "null"; }
    std::string operator()(bool b) const { return b ? "boolean `true`" : "boolean `false`"; }
    std::string operator()(const JsonNumber& n) const {
      std::string out;
      if (n.kind == JsonNumber::Kind::floating) {
        out = "floating point `";
        append_double(out, n.double_value);
      } else {
        out = "integer `";
        append_integer(out, n);
      }
      out.push_back('`');
      return out;
    }
    std::string operator()(const std::string& s) const { return "string " + quote_string(s); }
    std::string operator()(const JsonArray&) const { return "sequence"; }
    std::string operator()(const JsonObject&) const { return "map"; }
  };
  return std::visit(Describer{}, value.data);
}

}  // namespace quillmarrow
