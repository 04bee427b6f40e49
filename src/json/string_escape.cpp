// Backslash escapes inside JSON strings, including \u escapes and surrogate
// pairs, decoded to UTF-8.
#include <cstdint>

#include "json/string_scan.hpp"

namespace quillmarrow {
namespace {

bool fail(SyntaxFailure& failure, SyntaxErrorKind kind, std::size_t offset) {
  failure = SyntaxFailure{kind, offset};
  return false;
}

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the 4 hexadecimal digits of a \u escape as one unit; an error is
// reported at the fourth of them.
bool read_hex4(std::string_view text, std::size_t& pos, std::uint32_t& value,
               SyntaxFailure& failure) {
  if (text.size() - pos < 4) {
    return fail(failure, SyntaxErrorKind::eof_while_parsing_string, text.size());
  }
  value = 0;
  bool all_hex = true;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_digit_value(text[pos++]);
    all_hex = all_hex && digit >= 0;
    value = value * 16 + static_cast<std::uint32_t>(digit < 0 ? 0 : digit);
  }
  if (!all_hex) return fail(failure, SyntaxErrorKind::invalid_escape, pos);
  return true;
}

// The next byte must be `expected`; it is consumed before it is tested.
bool expect_byte(std::string_view text, std::size_t& pos, char expected, SyntaxFailure& failure) {
  if (pos == text.size()) {
    return fail(failure, SyntaxErrorKind::eof_while_parsing_string, text.size());
  }
  if (text[pos++] != expected) {
    return fail(failure, SyntaxErrorKind::unexpected_end_of_hex_escape, pos);
  }
  return true;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

bool is_leading_surrogate(std::uint32_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool is_trailing_surrogate(std::uint32_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// A \u escape after the letter u: one code point, or a surrogate pair written
// as two escapes in a row.
bool read_unicode_escape(std::string_view text, std::size_t& pos, std::string& out,
                         SyntaxFailure& failure) {
  std::uint32_t first = 0;
  if (!read_hex4(text, pos, first, failure)) return false;
  if (is_trailing_surrogate(first)) {
    return fail(failure, SyntaxErrorKind::lone_leading_surrogate_in_hex_escape, pos);
  }
  if (!is_leading_surrogate(first)) {
    append_utf8(out, first);
    return true;
  }
  if (!expect_byte(text, pos, '\\', failure) || !expect_byte(text, pos, 'u', failure)) {
    return false;
  }
  std::uint32_t second = 0;
  if (!read_hex4(text, pos, second, failure)) return false;
  if (!is_trailing_surrogate(second)) {
    return fail(failure, SyntaxErrorKind::lone_leading_surrogate_in_hex_escape, pos);
  }
  append_utf8(out, 0x10000 + (first - 0xD800) * 1024 + (second - 0xDC00));
  return true;
}

}  // namespace

bool read_escape(std::string_view text, std::size_t& pos, std::string& out,
                 SyntaxFailure& failure) {
  if (pos == text.size()) {
    return fail(failure, SyntaxErrorKind::eof_while_parsing_string, text.size());
  }
  const char letter = text[pos++];
  switch (letter) {
    case '"':
    case '\\':
    case '/':
      out += letter;
      return true;
    case 'b':
      out += '\b';
      return true;
    case 'f':
      out += '\f';
      return true;
    case 'n':
      out += '\n';
      return true;
    case 'r':
      out += '\r';
      return true;
    case 't':
      out += '\t';
      return true;
    case 'u':
      return read_unicode_escape(text, pos, out, failure);
    default:
      return fail(failure, SyntaxErrorKind::invalid_escape, pos);
  }
}

}  // namespace quillmarrow
