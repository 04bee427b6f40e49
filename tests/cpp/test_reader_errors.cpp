// Syntax errors of the reader: exact messages and positions, on every road
// a payload can take: the reference road's parser, each command through
// run_command, and an unknown command (whose payload is read for syntax
// only). A syntax error anywhere in the payload wins over every other error.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "commands/run_command.hpp"
#include "json/error.hpp"
#include "reference/parse.hpp"

namespace quillmarrow {
namespace {

struct Road {
  const char* name;
  std::string (*message_of)(std::string_view text);  // "accepted" for no error
};

std::string through_tree(std::string_view text) {
  ParseResult result = parse_json(text);
  if (const auto* error = std::get_if<JsonError>(&result)) return error_message(*error);
  return "accepted";
}

std::string through_command(std::string_view command, std::string_view text) {
  CommandResult result = run_command(command, text);
  if (const auto* error = std::get_if<EngineError>(&result)) return error->message;
  return "accepted";
}

const Road kRoads[] = {
    {"reference", through_tree},
    {"tier", [](std::string_view t) { return through_command("tier", t); }},
    {"score", [](std::string_view t) { return through_command("score", t); }},
    {"tier_batch", [](std::string_view t) { return through_command("tier-batch", t); }},
    {"unknown_command", [](std::string_view t) { return through_command("no-such", t); }},
};

class ReaderErrors : public testing::TestWithParam<Road> {
 protected:
  std::string message_of(std::string_view text) const { return GetParam().message_of(text); }

  struct ErrorCase {
    std::string text;
    std::string message;
  };

  void expect_messages(const std::vector<ErrorCase>& cases) const {
    for (const auto& c : cases) {
      EXPECT_EQ(message_of(c.text), c.message) << "input: " << c.text;
    }
  }
};

INSTANTIATE_TEST_SUITE_P(Roads, ReaderErrors, testing::ValuesIn(kRoads),
                         [](const testing::TestParamInfo<Road>& info) { return info.param.name; });

TEST_P(ReaderErrors, EndOfTextWhereSomethingIsDue) {
  expect_messages({
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"\n", "EOF while parsing a value at line 2 column 0"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[1,\n", "EOF while parsing a value at line 2 column 0"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"{\"a\":1, ", "EOF while parsing a value at line 1 column 8"},
      {"n", "EOF while parsing a value at line 1 column 1"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"fals", "EOF while parsing a value at line 1 column 4"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1E-", "EOF while parsing a value at line 1 column 3"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1,2", "EOF while parsing a list at line 1 column 4"},
      {"[1 ", "EOF while parsing a list at line 1 column 3"},
      {"[[]\n", "EOF while parsing a list at line 2 column 0"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{ ", "EOF while parsing an object at line 1 column 2"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\" ", "EOF while parsing an object at line 1 column 5"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"{\"ab", "EOF while parsing a string at line 1 column 4"},
      {"\"\\", "EOF while parsing a string at line 1 column 2"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\u123", "EOF while parsing a string at line 1 column 6"},
      {"\"\\ud83d", "EOF while parsing a string at line 1 column 7"},
      {"\"\\ud83d\\", "EOF while parsing a string at line 1 column 8"},
      {"\"\\ud83d\\u", "EOF while parsing a string at line 1 column 9"},
      {"\"\\ud83d\\udc0", "EOF while parsing a string at line 1 column 12"},
  });
}

TEST_P(ReaderErrors, UnexpectedBytes) {
  expect_messages({
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\",1}", "expected `:` at line 1 column 5"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1:", "expected `,` or `]` at line 1 column 3"},
      {"[1}", "expected `,` or `]` at line 1 column 3"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
      {"trux", "expected ident at line 1 column 4"},
      {"nUll", "expected ident at line 1 column 2"},
      {"falsE", "expected ident at line 1 column 5"},
      {"[nul]", "expected ident at line 1 column 5"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"]", "expected value at line 1 column 1"},
      {"True", "expected value at line 1 column 1"},
      {"NaN", "expected value at line 1 column 1"},
      {"'a'", "expected value at line 1 column 1"},
      {"[,1]", "expected value at line 1 column 2"},
      {"[1,,2]", "expected value at line 1 column 4"},
      {"{\"a\":}", "expected value at line 1 column 6"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"\x80", "expected value at line 1 column 1"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{,}", "key must be a string at line 1 column 2"},
      {"{'a':1}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1, \n ]", "trailing comma at line 2 column 2"},
      {"nullx", "trailing characters at line 1 column 5"},
      {"0x1", "trailing characters at line 1 column 2"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"{}}", "trailing characters at line 1 column 3"},
      {"\"a\"\"b\"", "trailing characters at line 1 column 4"},
      {"1.5.3", "trailing characters at line 1 column 4"},
      {"[1]\n\n x", "trailing characters at line 3 column 2"},
  });
}

TEST_P(ReaderErrors, Numbers) {
  expect_messages({
      {"01", "invalid number at line 1 column 2"},
      {"00", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"1.e3", "invalid number at line 1 column 3"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"-a", "invalid number at line 1 column 2"},
      {"-.5", "invalid number at line 1 column 2"},
      {"-Infinity", "invalid number at line 1 column 2"},
      {"1ea", "invalid number at line 1 column 3"},
      {"1e+a", "invalid number at line 1 column 4"},
      {"1e309", "number out of range at line 1 column 5"},
      {"2e308", "number out of range at line 1 column 5"},
      {"1e400", "number out of range at line 1 column 5"},
      {"-1e309", "number out of range at line 1 column 6"},
      {"1.8e308", "number out of range at line 1 column 7"},
      {"[1e309]", "number out of range at line 1 column 6"},
      {"17976931348623159e292", "number out of range at line 1 column 21"},
      // The exponent's 32-bit overflow is reported at the digit that caused it.
      {"1e2147483648", "number out of range at line 1 column 12"},
      {"1e2147483648999", "number out of range at line 1 column 12"},
      {"-1e2147483648", "number out of range at line 1 column 13"},
      {"1e99999999999", "number out of range at line 1 column 12"},
      {"1.5e+02147483648", "number out of range at line 1 column 16"},
      // Otherwise an overflow is reported at the number's last byte.
      {"1e2147483647", "number out of range at line 1 column 12"},
      {"1000000000000000000000000e2147483647", "number out of range at line 1 column 36"},
  });
}

TEST_P(ReaderErrors, Strings) {
  expect_messages({
      {"\"\\q\"", "invalid escape at line 1 column 3"},
      {"\"\\U0041\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 7"},
      {"\"\\uG234\"", "invalid escape at line 1 column 7"},
      {"\"\\u12\"}", "invalid escape at line 1 column 7"},
      {"\"\\ud83d\\u12G4\"", "invalid escape at line 1 column 13"},
      {"\"\\ude00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\ud83d\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\udbff\\udbff\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\ud83d\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\ud83dx\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\ud83d\\x\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"\\ud83d\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
       "column 3"},
      {"\"\x1f\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
       "column 2"},
      {std::string("\"ab\0\"", 5),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
      // A raw line feed is on the next line, at column 0.
      {"[\"a\nb\"]",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 "
       "column 0"},
      {"{\"k\x01\":1}",
       "control character (\\u0000-\\u001F) found while parsing a string at line "
       "1 column 4"},
  });
}

TEST_P(ReaderErrors, PositionsCountLineFeedsAndBytes) {
  expect_messages({
      // Columns count bytes: a two-byte and a three-byte character before the error.
      {"[\"\xC3\xA9\" x]", "expected `,` or `]` at line 1 column 7"},
      {"\"\xE2\x82\xAC\" ,", "trailing characters at line 1 column 7"},
      {"{\n  \"a\": 1,\n  \"b\" 2\n}", "expected `:` at line 3 column 7"},
      {"[\n1,\n2,\n]", "trailing comma at line 4 column 1"},
      // A carriage return is an ordinary byte, not a line end.
      {"\r\n\r x", "expected value at line 2 column 3"},
      {"1\r\rx", "trailing characters at line 1 column 4"},
      {"\n\n\n", "EOF while parsing a value at line 4 column 0"},
  });
}

TEST_P(ReaderErrors, NestingBudget) {
  std::string deep(128, '[');
  EXPECT_EQ(message_of(deep), "recursion limit exceeded at line 1 column 128");
  std::string objects;
  for (int i = 0; i < 200; ++i) objects += "{\"a\":";
  // The 128th opening brace is at byte offset 127 x 5.
  EXPECT_EQ(message_of(objects), "recursion limit exceeded at line 1 column 636");
  std::string mixed;
  for (int i = 0; i < 100; ++i) mixed += "[{\"k\":";
  // Two brackets per 6 bytes: the 128th is the brace of the 64th repetition.
  EXPECT_EQ(message_of(mixed), "recursion limit exceeded at line 1 column 380");
  EXPECT_EQ(message_of("\n" + deep), "recursion limit exceeded at line 2 column 128");
}

TEST(SyntaxError, Fields) {
  ParseResult result = parse_json("[\n  tru");
  ASSERT_TRUE(std::holds_alternative<JsonError>(result));
  const JsonError& error = std::get<JsonError>(result);
  EXPECT_EQ(error.kind, SyntaxErrorKind::eof_while_parsing_value);
  EXPECT_EQ(error.line, 2u);
  EXPECT_EQ(error.column, 5u);
}

TEST(SyntaxError, Message) {
  // A syntax kind with line 0 is its text alone.
  JsonError syntax{SyntaxErrorKind::trailing_comma, 0, 0};
  EXPECT_EQ(error_message(syntax), "trailing comma");
  JsonError positioned{SyntaxErrorKind::expected_colon, 12, 345};
  EXPECT_EQ(error_message(positioned), "expected `:` at line 12 column 345");
}

}  // namespace
}  // namespace quillmarrow
