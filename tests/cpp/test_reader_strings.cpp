// Strings: plain runs found eight bytes at a time, escapes, surrogate pairs,
// and bytes that pass through unchanged.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/error.hpp"
#include "json/reader_core.hpp"
#include "reference/parse.hpp"

namespace quillmarrow {
namespace {

// The decoded string, or the error message.
std::string read_string_text(std::string_view text) {
  ParseResult result = parse_json(text);
  if (const auto* error = std::get_if<JsonError>(&result)) return "error: " + error_message(*error);
  const std::string* s = std::get<JsonValue>(result).as_string();
  return s ? *s : "not a string";
}

struct StringCase {
  std::string text;
  std::string decoded;
};

TEST(ReaderStrings, Escapes) {
  const std::vector<StringCase> cases = {
      {R"("")", ""},
      {R"("\"\\\/")", "\"\\/"},
      {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
      {R"("a\nb")", "a\nb"},
      {R"("\u0041\u00e9\u00E9")", "A\xC3\xA9\xC3\xA9"},
      {R"("\u0000")", std::string(1, '\0')},
      {R"("\u007f\u0080\u07ff\u0800")", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},
      {R"("\u20ac\uffff")", "\xE2\x82\xAC\xEF\xBF\xBF"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\uD800\uDC00")", "\xF0\x90\x80\x80"},
      {R"("\udbff\udfff")", "\xF4\x8F\xBF\xBF"},
      {R"("x\ud83d\ude00y\t")", "x\xF0\x9F\x98\x80y\t"},
  };
  for (const auto& c : cases) EXPECT_EQ(read_string_text(c.text), c.decoded) << c.text;
}

TEST(ReaderStrings, BytesOtherThanQuoteBackslashAndControlsPassThrough) {
  // Every byte from 0x20 to 0xFF except the two special ones, including 0x7F
  // and bytes that differ from a special one only in the high bit.
  std::string all;
  for (int b = 0x20; b <= 0xFF; ++b) {
    if (b != '"' && b != '\\') all += static_cast<char>(b);
  }
  EXPECT_EQ(read_string_text("\"" + all + "\""), all);
  // Invalid UTF-8 is not checked: stray continuation bytes, a truncated
  // sequence and an encoded surrogate are kept as they are.
  for (std::string bytes : {"\x80", "\xFF\xFE", "\xC3", "a\xED\xA0\x80z", "\xF4\x90\x80\x80"}) {
    EXPECT_EQ(read_string_text("\"" + bytes + "\""), bytes);
    EXPECT_EQ(read_string_text("\"\\n" + bytes + "\""), "\n" + bytes);
  }
}

TEST(ReaderStrings, SpecialByteAtEveryOffsetOfTheScan) {
  // A special byte at each offset of strings long enough for several
  // eight-byte steps and a tail.
  for (std::size_t length = 0; length <= 40; ++length) {
    const std::string plain(length, 'x');
    EXPECT_EQ(read_string_text("\"" + plain + "\""), plain);
    EXPECT_EQ(read_string_text("\"" + plain),
              "error: EOF while parsing a string at line 1 column " + std::to_string(length + 1));
    for (std::size_t at = 0; at < length; ++at) {
      std::string with_escape = plain;
      with_escape.replace(at, 1, "\\t");
      std::string expected = plain;
      expected[at] = '\t';
      EXPECT_EQ(read_string_text("\"" + with_escape + "\""), expected);

      std::string with_control = plain;
      with_control[at] = '\x1F';
      EXPECT_EQ(read_string_text("\"" + with_control + "\""),
                "error: control character (\\u0000-\\u001F) found while parsing a string at line "
                "1 column " +
                    std::to_string(at + 2));

      std::string with_quote = plain;
      with_quote[at] = '"';
      // The string ends early; the byte after the quote is not a comma.
      EXPECT_EQ(read_string_text("[\"" + with_quote + "\"]"),
                "error: expected `,` or `]` at line 1 column " + std::to_string(at + 4));
    }
  }
}

TEST(ReaderStrings, KeysAreDecodedLikeValues) {
  ParseResult result = parse_json(R"({"a\u0062":1,"\ud83d\ude00":2,"":3})");
  ASSERT_TRUE(std::holds_alternative<JsonValue>(result));
  const JsonObject* object = std::get<JsonValue>(result).as_object();
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->size(), 3u);
  EXPECT_NE(object->find("ab"), nullptr);
  EXPECT_NE(object->find("\xF0\x9F\x98\x80"), nullptr);
  EXPECT_NE(object->find(""), nullptr);
}

// Records, for each string event, its contents and whether the view pointed
// into the text itself.
struct ViewRecorder {
  std::string_view text;
  std::vector<std::pair<std::string, bool>> strings;

  void note(std::string_view s) {
    const bool inside = s.data() >= text.data() && s.data() + s.size() <= text.data() + text.size();
    strings.emplace_back(std::string(s), inside);
  }
  void null_value() {}
  void bool_value(bool) {}
  void number_value(const JsonNumber&) {}
  void string_value(std::string_view s) { note(s); }
  void begin_array() {}
  void end_array() {}
  void begin_object() {}
  void key(std::string_view s) { note(s); }
  void end_object() {}
};

TEST(ReaderStrings, PlainStringsAreViewsIntoTheText) {
  const std::string text = R"({"plain key":"plain value","esc\naped":"v\u00e9"})";
  ViewRecorder recorder{text, {}};
  ASSERT_FALSE(read_json(text, recorder).has_value());
  const std::vector<std::pair<std::string, bool>> expected = {
      {"plain key", true}, {"plain value", true}, {"esc\naped", false}, {"v\xC3\xA9", false}};
  EXPECT_EQ(recorder.strings, expected);
}

}  // namespace
}  // namespace quillmarrow
