#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "records/record_errors.hpp"
#include "reference/records.hpp"
#include "reference/value.hpp"

namespace quillmarrow {
namespace {

struct DescribeCase {
  JsonValue value;
  std::string expected;
};

TEST(DescribeValue, NamesEveryKind) {
  JsonObject object;
  object.insert("a", JsonValue(true));
  const DescribeCase cases[] = {
      {JsonValue(JsonNull{}), "null"},
      {JsonValue(true), "boolean `true`"},
      {JsonValue(false), "boolean `false`"},
      {JsonValue(JsonNumber::from_unsigned(5)), "integer `5`"},
      {JsonValue(JsonNumber::from_unsigned(0)), "integer `0`"},
      {JsonValue(JsonNumber::from_unsigned(18446744073709551615u)),
       "integer `18446744073709551615`"},
      {JsonValue(JsonNumber::from_negative(-3)), "integer `-3`"},
      {JsonValue(JsonNumber::from_negative(std::numeric_limits<std::int64_t>::min())),
       "integer `-9223372036854775808`"},
      {JsonValue(JsonNumber::from_double(1.5)), "floating point `1.5`"},
      {JsonValue(JsonNumber::from_double(2.0)), "floating point `2.0`"},
      {JsonValue(JsonNumber::from_double(1e20)), "floating point `1e+20`"},
      {JsonValue(JsonNumber::from_double(-0.0)), "floating point `-0.0`"},
      {JsonValue(JsonNumber::from_double(1e-6)), "floating point `1e-6`"},
      {JsonValue(std::string("abc")), "string \"abc\""},
      {JsonValue(std::string("")), "string \"\""},
      {JsonValue(JsonArray{}), "sequence"},
      {JsonValue(JsonArray{JsonValue(true)}), "sequence"},
      {JsonValue(JsonObject{}), "map"},
      {JsonValue(std::move(object)), "map"},
  };
  for (const DescribeCase& c : cases) {
    EXPECT_EQ(describe_value(c.value), c.expected);
  }
}

struct QuoteCase {
  const char* name;
  std::string raw;
  std::string expected;  // without the enclosing double quotes
};

TEST(QuoteString, EscapesInvisibleAndCombiningCharacters) {
  const QuoteCase cases[] = {
      {"plain", "abc", "abc"},
      {"double quote", "a\"b", R"(a\"b)"},
      {"backslash", "a\\b", R"(a\\b)"},
      {"tab", "\t", R"(\t)"},
      {"carriage return", "\r", R"(\r)"},
      {"line feed", "\n", R"(\n)"},
      {"NUL", std::string("a\0b", 3), R"(a\0b)"},
      {"other C0 controls", "\x01\x08\x0b\x0c\x1f", R"(\u{1}\u{8}\u{b}\u{c}\u{1f})"},
      {"DEL", "\x7f", R"(\u{7f})"},
      {"C1 control U+0085", "\xc2\x85", R"(\u{85})"},
      {"no-break space U+00A0 (Zs)", "\xc2\xa0", R"(\u{a0})"},
      {"soft hyphen U+00AD (Cf)", "\xc2\xad", R"(\u{ad})"},
      {"zero width space U+200B (Cf)", "\xe2\x80\x8b", R"(\u{200b})"},
      {"zero width non-joiner U+200C", "\xe2\x80\x8c", R"(\u{200c})"},
      {"line separator U+2028 (Zl)", "\xe2\x80\xa8", R"(\u{2028})"},
      {"paragraph separator U+2029 (Zp)", "\xe2\x80\xa9", R"(\u{2029})"},
      {"ideographic space U+3000 (Zs)", "\xe3\x80\x80", R"(\u{3000})"},
      {"byte order mark U+FEFF (Cf)", "\xef\xbb\xbf", R"(\u{feff})"},
      {"private use U+E000 (Co)", "\xee\x80\x80", R"(\u{e000})"},
      {"private use U+10FFFD (Co)", "\xf4\x8f\xbf\xbd", R"(\u{10fffd})"},
      {"unassigned U+0378", "\xcd\xb8", R"(\u{378})"},
      {"unassigned U+E0080", "\xf3\xa0\x82\x80", R"(\u{e0080})"},
      {"noncharacter U+FFFF", "\xef\xbf\xbf", R"(\u{ffff})"},
      {"combining acute U+0301 (Mn)", "e\xcc\x81", R"(e\u{301})"},
      {"enclosing circle U+20DD (Me)", "\xe2\x83\x9d", R"(\u{20dd})"},
      {"Bengali AU length mark U+09D7 (Other_Grapheme_Extend)", "\xe0\xa7\x97", R"(\u{9d7})"},
      {"halfwidth voiced mark U+FF9E (Other_Grapheme_Extend)", "\xef\xbe\x9e", R"(\u{ff9e})"},
      {"tag character U+E0041", "\xf3\xa0\x81\x81", R"(\u{e0041})"},
      {"space", " ", " "},
      {"single quote", "it's", "it's"},
      {"slash and backquote", "/`", "/`"},
      {"e acute", "\xc3\xa9", "\xc3\xa9"},
      {"last before the C1 block U+007E", "~", "~"},
      {"inverted exclamation U+00A1", "\xc2\xa1", "\xc2\xa1"},
      {"CJK U+4E2D", "\xe4\xb8\xad", "\xe4\xb8\xad"},
      {"emoji U+1F600", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"replacement character U+FFFD", "\xef\xbf\xbd", "\xef\xbf\xbd"},
      {"spacing mark U+0903 (Mc)", "\xe0\xa4\x83", "\xe0\xa4\x83"},
      {"mixed", "x\ty\xc2\xa0\xc3\xa9", "x\\ty\\u{a0}\xc3\xa9"},
  };
  for (const QuoteCase& c : cases) {
    EXPECT_EQ(quote_string(c.raw), "\"" + c.expected + "\"") << c.name;
  }
}

TEST(QuoteString, IllFormedUtf8BytesBecomeReplacementCharacters) {
  const std::string r = "\xef\xbf\xbd";
  const QuoteCase cases[] = {
      {"lone continuation byte", "a\x80z", "a" + r + "z"},
      {"byte 0xFF", "\xff", r},
      {"truncated two-byte sequence at the end", "a\xc3", "a" + r},
      {"truncated four-byte sequence at the end", "\xf0\x9f\x98", r + r + r},
      {"overlong slash", "\xc0\xaf", r + r},
      {"overlong three-byte", "\xe0\x80\xaf", r + r + r},
      {"encoded surrogate U+D800", "\xed\xa0\x80", r + r + r},
      {"above U+10FFFF", "\xf4\x90\x80\x80", r + r + r + r},
      {"lead byte before an ASCII quote", "\xc3\"", r + "\\\""},
  };
  for (const QuoteCase& c : cases) {
    EXPECT_EQ(quote_string(c.raw), "\"" + c.expected + "\"") << c.name;
  }
}

TEST(DecodingErrors, Messages) {
  struct Case {
    EngineError error;
    std::string message;
  };
  const Case cases[] = {
      {invalid_type(FieldValue::string("abc"), "f64"),
       "invalid type: string \"abc\", expected f64"},
      {invalid_type(FieldValue::number_of(JsonNumber::from_unsigned(1)), "a boolean"),
       "invalid type: integer `1`, expected a boolean"},
      {invalid_type(FieldValue::null(), "f64"), "invalid type: null, expected f64"},
      {invalid_type(FieldValue::number_of(JsonNumber::from_double(0.5)), "a boolean"),
       "invalid type: floating point `0.5`, expected a boolean"},
      {invalid_type(FieldValue::sequence(), "struct TierInput"),
       "invalid type: sequence, expected struct TierInput"},
      {invalid_length(0, "struct RetentionInput with 4 elements"),
       "invalid length 0, expected struct RetentionInput with 4 elements"},
      {invalid_length(7, "fewer elements in array"),
       "invalid length 7, expected fewer elements in array"},
      {missing_field("importance"), "missing field `importance`"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.message, c.message);
}

}  // namespace
}  // namespace quillmarrow
