#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "reference/value.hpp"
#include "reference/write.hpp"

namespace quillmarrow {
namespace {

JsonValue str(std::string s) {
  return JsonValue(std::move(s));
}
JsonValue uint(std::uint64_t v) {
  return JsonValue(JsonNumber::from_unsigned(v));
}
JsonValue neg(std::int64_t v) {
  return JsonValue(JsonNumber::from_negative(v));
}
JsonValue dbl(double v) {
  return JsonValue(JsonNumber::from_double(v));
}
JsonValue arr(std::vector<JsonValue> elements) {
  return JsonValue(JsonArray(std::move(elements)));
}
JsonValue obj(std::vector<std::pair<std::string, JsonValue>> members) {
  JsonObject o;
  for (auto& [key, value] : members) o.insert(key, std::move(value));
  return JsonValue(std::move(o));
}

struct WriteCase {
  const char* name;
  JsonValue value;
  std::string expected;
};

TEST(WriteJson, WritesEveryKindCompactly) {
  const WriteCase cases[] = {
      {"null", JsonValue(JsonNull{}), "null"},
      {"true", JsonValue(true), "true"},
      {"false", JsonValue(false), "false"},
      {"zero", uint(0), "0"},
      {"one digit", uint(7), "7"},
      {"two digits", uint(42), "42"},
      {"three digits", uint(100), "100"},
      {"odd digit count", uint(12345), "12345"},
      {"even digit count", uint(987654), "987654"},
      {"u64 max", uint(18446744073709551615u), "18446744073709551615"},
      {"minus one", neg(-1), "-1"},
      {"minus ten", neg(-10), "-10"},
      {"negative", neg(-3050), "-3050"},
      {"i64 min", neg(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {"unsigned 1 is not the double 1.0", uint(1), "1"},
      {"double 1.0", dbl(1.0), "1.0"},
      {"double -0.0", dbl(-0.0), "-0.0"},
      {"double 1e16", dbl(1e16), "1e+16"},
      {"NaN reaching the writer", dbl(std::nan("")), "null"},
      {"infinity reaching the writer", dbl(std::numeric_limits<double>::infinity()), "null"},
      {"-infinity reaching the writer", dbl(-std::numeric_limits<double>::infinity()), "null"},
      {"empty string", str(""), "\"\""},
      {"empty array", arr({}), "[]"},
      {"empty object", obj({}), "{}"},
      {"members in key order",
       obj({{"b", uint(1)},
            {"a", arr({JsonValue(true), JsonValue(false), JsonValue(JsonNull{})})}}),
       R"({"a":[true,false,null],"b":1})"},
      {"record fields tier, action, retention",
       obj({{"tier", str("hot")}, {"action", str("inject_to_prompt")}, {"retention", dbl(0.5)}}),
       R"({"action":"inject_to_prompt","retention":0.5,"tier":"hot"})"},
      {"keys in unsigned byte order",
       obj({{"\xc3\xa9", uint(1)}, {"z", uint(2)}, {"Z", uint(3)}, {"", uint(4)}}),
       "{\"\":4,\"Z\":3,\"z\":2,\"\xc3\xa9\":1}"},
      {"keys are escaped", obj({{"a\"b\n", uint(1)}}), R"({"a\"b\n":1})"},
      {"nested", arr({arr({}), obj({{"x", arr({obj({})})}}), str("s"), neg(-2), dbl(2.5)}),
       R"([[],{"x":[{}]},"s",-2,2.5])"},
      {"success envelope", obj({{"ok", JsonValue(true)}, {"result", obj({{"boost", dbl(1.0)}})}}),
       R"({"ok":true,"result":{"boost":1.0}})"},
  };
  for (const WriteCase& c : cases) {
    EXPECT_EQ(write_json(c.value), c.expected) << c.name;
  }
}

TEST(WriteJson, NonFiniteResultDoublesAreWrittenAsNull) {
  const JsonValue v = arr({JsonValue::from_double(std::nan("")),
                           JsonValue::from_double(std::numeric_limits<double>::infinity()),
                           JsonValue::from_double(1.5)});
  EXPECT_EQ(write_json(v), "[null,null,1.5]");
}

struct EscapeCase {
  std::string raw;
  std::string expected;  // without the enclosing quotes
};

TEST(WriteJson, EscapesStrings) {
  const EscapeCase cases[] = {
      {"\x01\x08\x0b\x1f", R"(\u0001\b\u000b\u001f)"},
      {"\"", R"(\")"},
      {"\\", R"(\\)"},
      {"\b\t\n\f\r", R"(\b\t\n\f\r)"},
      {std::string("\0", 1), R"(\u0000)"},
      {"\x0e\x10\x1a\x1b", R"(\u000e\u0010\u001a\u001b)"},
      // Slash, DEL and non-ASCII bytes are copied unchanged.
      {"/", "/"},
      {"\x7f", "\x7f"},
      {"\xc3\xa9", "\xc3\xa9"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"\xff\x80", "\xff\x80"},
      {" !#[]~", " !#[]~"},
      // Escapes at the start, the end and inside long runs, across the
      // 8-byte blocks the scan reads at once.
      {"abcdefgh\"", R"(abcdefgh\")"},
      {"abcdefg\n", R"(abcdefg\n)"},
      {"\tabcdefghijklmnop", R"(\tabcdefghijklmnop)"},
      {"abcdefghijklmno\\pqrstuvwxyz", R"(abcdefghijklmno\\pqrstuvwxyz)"},
      {"0123456789abcdef\x1f", R"(0123456789abcdef\u001f)"},
      {"\"\"\"\"\"\"\"\"\"", R"(\"\"\"\"\"\"\"\"\")"},
      {"\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\x7f\x20\x1f",
       "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\x7f\x20\\u001f"},
  };
  for (const EscapeCase& c : cases) {
    EXPECT_EQ(write_json(str(c.raw)), "\"" + c.expected + "\"") << c.expected;
  }
}

std::string in_quotes(const std::string& s) {
  std::string q(1, '"');
  q += s;
  q += '"';
  return q;
}

std::string repeat(const std::string& s, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += s;
  return out;
}

// The escaped form of one byte, spelled out from the escape rules.
std::string escaped_byte(int b) {
  switch (b) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case 0x08:
      return "\\b";
    case 0x09:
      return "\\t";
    case 0x0A:
      return "\\n";
    case 0x0C:
      return "\\f";
    case 0x0D:
      return "\\r";
    default:
      break;
  }
  if (b < 0x20) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\u%04x", b);
    return hex;
  }
  return std::string(1, static_cast<char>(b));
}

TEST(WriteJson, EveryByteAtEveryPositionOfAScanBlock) {
  // Each byte value alone, and at each offset of a 24-byte run of plain ASCII
  // or of two-byte UTF-8 characters, so it falls in every lane of the 8-byte
  // blocks the scan tests at once and in the byte-wise tail.
  for (const std::string& filler : {std::string(24, 'a'), repeat("\xc3\xa9", 12)}) {
    for (int b = 0; b < 0x100; ++b) {
      const std::string one(1, static_cast<char>(b));
      ASSERT_EQ(write_json(str(one)), in_quotes(escaped_byte(b))) << b;
      for (std::size_t pos = 0; pos <= filler.size(); ++pos) {
        std::string raw = filler;
        raw.insert(pos, one);
        std::string expected = filler;
        expected.insert(pos, escaped_byte(b));
        ASSERT_EQ(write_json(str(raw)), in_quotes(expected)) << b << " at " << pos;
      }
    }
  }
}

TEST(WriteJson, AppendJsonAppendsAfterExistingText) {
  std::string out = "prefix:";
  append_json(out, obj({{"k", neg(-5)}}));
  EXPECT_EQ(out, R"(prefix:{"k":-5})");
}

TEST(WriteJson, LongOutputGrowsPastTheInitialBuffer) {
  JsonArray elements;
  std::string expected = "[";
  for (std::uint64_t i = 0; i < 1000; ++i) {
    elements.push_back(uint(i * 1000003));
    if (i > 0) expected += ',';
    expected += std::to_string(i * 1000003);
  }
  expected += ']';
  EXPECT_EQ(write_json(JsonValue(std::move(elements))), expected);
}

TEST(WriteJson, DeepNestingBuiltInCode) {
  JsonValue v = uint(1);
  for (int i = 0; i < 1000; ++i) v = arr({std::move(v)});
  EXPECT_EQ(write_json(v), std::string(1000, '[') + "1" + std::string(1000, ']'));
}

}  // namespace
}  // namespace quillmarrow
