// The words that name a value in a decoding error, and the quoted form of a
// string used there.
#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>

#include "json/utf8.hpp"
#include "json/writer.hpp"
#include "records/record_errors.hpp"

namespace quillmarrow {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

// Code points that print as nothing, print as blank space, or combine with
// the preceding character; in the quoted form they are written as \u{hex}.
constexpr CodePointRange kEscapedRanges[] = {
#include "records/unicode_escape_table.inc"
};

bool is_escaped(char32_t cp) {
  // The first range whose last code point is not below cp.
  const auto* it =
      std::lower_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), cp,
                       [](const CodePointRange& range, char32_t c) { return range.last < c; });
  return it != std::end(kEscapedRanges) && it->first <= cp;
}

struct ShortEscape {
  char32_t code_point;
  std::string_view text;
};
constexpr ShortEscape kShortEscapes[] = {{U'"', "\\\""}, {U'\\', "\\\\"}, {U'\t', "\\t"},
                                         {U'\r', "\\r"}, {U'\n', "\\n"},  {U'\0', "\\0"}};

// The two-character escape of cp in the quoted form, if it has one.
const std::string_view* short_escape(char32_t cp) {
  for (const ShortEscape& escape : kShortEscapes) {
    if (escape.code_point == cp) return &escape.text;
  }
  return nullptr;
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
  std::size_t pos = 0;
  while (pos < text.size()) {
    const Utf8Sequence sequence = utf8_sequence_at(text, pos);
    if (!sequence.well_formed) {
      out.append("\xEF\xBF\xBD", 3);
      ++pos;
      continue;
    }
    const char32_t cp = sequence.code_point;
    if (const std::string_view* escape = short_escape(cp)) {
      out.append(*escape);
    } else if (is_escaped(cp)) {
      append_brace_escape(out, cp);
    } else {
      out.append(text.substr(pos, sequence.length));
    }
    pos += sequence.length;
  }
  out.push_back('"');
  return out;
}

std::string describe_field(const FieldValue& value) {
  switch (value.kind) {
    case FieldValue::Kind::null:
      return "null";
    case FieldValue::Kind::boolean:
      return value.flag ? "boolean `true`" : "boolean `false`";
    case FieldValue::Kind::number: {
      std::string out;
      if (value.number.kind == JsonNumber::Kind::floating) {
        out = "floating point `";
        append_double(out, value.number.double_value);
      } else {
        out = "integer `";
        append_integer(out, value.number);
      }
      out.push_back('`');
      return out;
    }
    case FieldValue::Kind::string:
      return "string " + quote_string(value.text);
    case FieldValue::Kind::sequence:
      return "sequence";
    case FieldValue::Kind::map:
      return "map";
  }
  return "null";
}

}  // namespace quillmarrow
