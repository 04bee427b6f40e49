#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <variant>

#include "json/error.hpp"
#include "reference/parse.hpp"
#include "reference/value.hpp"
#include "reference/write.hpp"

namespace quillmarrow {
namespace {

// Reads text, failing the test with the reader's message if it is rejected.
JsonValue read(const std::string& text) {
  ParseResult result = parse_json(text);
  if (const JsonError* error = std::get_if<JsonError>(&result)) {
    ADD_FAILURE() << "rejected " << text << ": " << error_message(*error);
    return JsonValue();
  }
  return std::get<JsonValue>(std::move(result));
}

struct RoundTripCase {
  std::string text;
  std::string compact;
};

TEST(RoundTrip, ReadingAndWritingGivesTheCompactForm) {
  const RoundTripCase cases[] = {
      // Blanks vanish, members come out in key order, a repeated key keeps
      // its last value.
      {" { \"b\" : 1 ,\n\t\"a\" : [ true , false , null ] }\r\n",
       R"({"a":[true,false,null],"b":1})"},
      {R"({"a":1,"a":2})", R"({"a":2})"},
      {R"({"b":1,"a":2,"b":3})", R"({"a":2,"b":3})"},
      {R"({"a":{"c":1,"b":2},"a":{"d":[]}})", R"({"a":{"d":[]}})"},
      {"{\"\xc3\xa9\":1,\"z\":2,\"Z\":3,\"\":4,\"ab\":5,\"a\":6}",
       "{\"\":4,\"Z\":3,\"a\":6,\"ab\":5,\"z\":2,\"\xc3\xa9\":1}"},
      {R"({"a":{"c":1,"b":2}})", R"({"a":{"b":2,"c":1}})"},
      {"[ ]", "[]"},
      {"{ }", "{}"},
      {R"("")", R"("")"},
      {"  null  ", "null"},
      {"true", "true"},
      {"[[[]],{}]", "[[[]],{}]"},
      // Integers keep their representation; everything else is a double in
      // the shortest round-trip form.
      {"0", "0"},
      {"1", "1"},
      {"1.0", "1.0"},
      {"1E2", "100.0"},
      {"1e2", "100.0"},
      {"0.5e1", "5.0"},
      {"12.50", "12.5"},
      {"-0", "-0.0"},
      {"-0.0", "-0.0"},
      {"0e400", "0.0"},
      {"1e-400", "0.0"},
      {"-1e-400", "-0.0"},
      {"1e15", "1000000000000000.0"},
      {"1e16", "1e+16"},
      {"1E+16", "1e+16"},
      {"0.000001", "1e-6"},
      {"0.00001", "0.00001"},
      {"1.5e-7", "1.5e-7"},
      {"123.456", "123.456"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-9223372036854775809", "-9.223372036854776e+18"},
      {"-1", "-1"},
      // Strings: escapes are resolved on reading and written in one
      // canonical way.
      {R"("\u0041\u00e9\/")", "\"A\xc3\xa9/\""},
      {R"("\ud83d\ude00")", "\"\xf0\x9f\x98\x80\""},
      {R"("\u001F\u000B\u0000")", R"("\u001f\u000b\u0000")"},
      {R"("\b\f\n\r\t\"\\")", R"("\b\f\n\r\t\"\\")"},
      {R"("\u0008\u0009\u000a\u000c\u000d\u0022\u005c")", R"("\b\t\n\f\r\"\\")"},
      {R"("\u007f")", "\"\x7f\""},
      {"\"\xe2\x80\xa8 \xef\xbb\xbf\"", "\"\xe2\x80\xa8 \xef\xbb\xbf\""},
      {R"({"k\n":"v\t"})", R"({"k\n":"v\t"})"},
  };
  for (const RoundTripCase& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string written = write_json(read(c.text));
    EXPECT_EQ(written, c.compact);
    // The compact form is a fixed point: reading and writing it again changes nothing.
    EXPECT_EQ(write_json(read(written)), written);
  }
}

TEST(RoundTrip, DeepestAcceptedNesting) {
  const std::string text = std::string(127, '[') + std::string(127, ']');
  EXPECT_EQ(write_json(read(text)), text);
}

// Random value trees built in code. Doubles have at most 15 significant
// digits and a decimal exponent from -7 to 21, so their written text is read
// back with one exact rounding and the double survives bit for bit.
class RandomTree {
 public:
  explicit RandomTree(std::uint64_t seed) : rng_(seed) {}

  JsonValue value(int depth) {
    const int kind = static_cast<int>(below(depth > 0 ? 9 : 7));
    switch (kind) {
      case 0:
        return JsonValue(JsonNull{});
      case 1:
        return JsonValue(below(2) == 0);
      case 2:
        return JsonValue(JsonNumber::from_unsigned(unsigned_integer()));
      case 3: {
        // A magnitude from 1 to 2^63, negated without overflow.
        const std::uint64_t magnitude = unsigned_integer() % (std::uint64_t{1} << 63) + 1;
        return JsonValue(JsonNumber::from_negative(static_cast<std::int64_t>(0 - magnitude)));
      }
      case 4:
        return JsonValue(JsonNumber::from_double(short_double()));
      case 5:
      case 6:
        return JsonValue(text());
      case 7: {
        JsonArray elements;
        const std::uint64_t n = below(5);
        for (std::uint64_t i = 0; i < n; ++i) elements.push_back(value(depth - 1));
        return JsonValue(std::move(elements));
      }
      default: {
        JsonObject object;
        const std::uint64_t n = below(5);
        for (std::uint64_t i = 0; i < n; ++i) {
          // Short keys from a small alphabet, so keys repeat.
          std::string key;
          const std::uint64_t len = below(3);
          for (std::uint64_t j = 0; j < len; ++j) key += "ab\"\xc3\xa9\n"[below(5)];
          object.insert(std::move(key), value(depth - 1));
        }
        return JsonValue(std::move(object));
      }
    }
  }

 private:
  std::uint64_t below(std::uint64_t n) { return rng_() % n; }

  std::uint64_t unsigned_integer() {
    // Mostly small numbers, sometimes the full 64-bit range.
    const std::uint64_t r = rng_();
    return below(4) == 0 ? r : r % 100000;
  }

  double short_double() {
    const int digits = static_cast<int>(below(15)) + 1;
    std::uint64_t mantissa = below(9) + 1;
    for (int i = 1; i < digits; ++i) mantissa = mantissa * 10 + below(10);
    const int exponent = static_cast<int>(below(29)) - 7;  // of the first digit
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%llue%d", below(2) == 0 ? "" : "-",
                  static_cast<unsigned long long>(mantissa), exponent - (digits - 1));
    return below(50) == 0 ? 0.0 : std::strtod(buf, nullptr);
  }

  // Valid UTF-8 mixing plain ASCII, control bytes, quotes, backslashes and
  // characters of two, three and four bytes.
  std::string text() {
    std::string s;
    const std::uint64_t n = below(12);
    for (std::uint64_t i = 0; i < n; ++i) {
      std::uint32_t cp = 0;
      switch (below(6)) {
        case 0:
          cp = static_cast<std::uint32_t>(below(0x20));
          break;
        case 1:
          cp = "\"\\/ x"[below(5)];
          break;
        case 2:
          cp = static_cast<std::uint32_t>(0x20 + below(0x60));
          break;
        case 3:
          cp = static_cast<std::uint32_t>(0x80 + below(0x780));
          break;
        case 4:
          cp = static_cast<std::uint32_t>(0x800 + below(0xF800));
          if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
          break;
        default:
          cp = static_cast<std::uint32_t>(0x10000 + below(0x100000));
          break;
      }
      append_utf8(s, cp);
    }
    return s;
  }

  static void append_utf8(std::string& s, std::uint32_t cp) {
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | cp >> 6);
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | cp >> 12);
      s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | cp >> 18);
      s += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::mt19937_64 rng_;
};

TEST(RoundTrip, RandomTreesSurviveWriteReadWrite) {
  RandomTree random(424242);
  for (int i = 0; i < 3000; ++i) {
    const JsonValue original = random.value(4);
    const std::string written = write_json(original);
    SCOPED_TRACE(written);
    const JsonValue back = read(written);
    // Same kinds, same number representations, doubles bit for bit.
    ASSERT_EQ(back, original);
    ASSERT_EQ(write_json(back), written);
  }
}

}  // namespace
}  // namespace quillmarrow
