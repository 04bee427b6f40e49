// Structure: values of every kind, nesting, object members, the events the
// reader reports, and clean unwinding when a handler throws.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/error.hpp"
#include "json/reader_core.hpp"
#include "reference/parse.hpp"

namespace quillmarrow {
namespace {

JsonValue parsed(std::string_view text) {
  ParseResult result = parse_json(text);
  if (const auto* error = std::get_if<JsonError>(&result)) {
    ADD_FAILURE() << "rejected " << text << ": " << error_message(*error);
    return JsonValue();
  }
  return std::get<JsonValue>(std::move(result));
}

std::string message_of(std::string_view text) {
  ParseResult result = parse_json(text);
  if (const auto* error = std::get_if<JsonError>(&result)) return error_message(*error);
  return "accepted";
}

JsonValue str(const char* s) {
  return JsonValue(std::string(s));
}
JsonValue num(std::uint64_t v) {
  return JsonValue(JsonNumber::from_unsigned(v));
}

TEST(ReaderStructure, ValuesOfEveryKind) {
  EXPECT_EQ(parsed("null"), JsonValue(JsonNull{}));
  EXPECT_EQ(parsed(" \t\r\ntrue \n"), JsonValue(true));
  EXPECT_EQ(parsed("false"), JsonValue(false));
  EXPECT_EQ(parsed("42"), num(42));
  EXPECT_EQ(parsed("\"s\""), str("s"));
  EXPECT_EQ(parsed("[]"), JsonValue(JsonArray{}));
  EXPECT_EQ(parsed("{}"), JsonValue(JsonObject{}));
  EXPECT_EQ(parsed("[ ]"), JsonValue(JsonArray{}));
  EXPECT_EQ(parsed("{ \n}"), JsonValue(JsonObject{}));

  JsonObject inner;
  inner.insert("x", JsonValue(JsonArray{JsonValue(JsonNull{}), JsonValue(false)}));
  JsonObject outer;
  outer.insert("list", JsonValue(JsonArray{num(1), str("two"), JsonValue(std::move(inner))}));
  outer.insert("empty", JsonValue(JsonObject{}));
  EXPECT_EQ(parsed(" { \"list\" : [ 1 , \"two\" , { \"x\" : [ null , false ] } ] ,\n"
                   "\"empty\":{} } "),
            JsonValue(std::move(outer)));
}

TEST(ReaderStructure, RepeatedKeysKeepTheLastValueAndKeysAreSorted) {
  JsonObject one;
  one.insert("a", num(2));
  EXPECT_EQ(parsed(R"({"a":1,"a":2})"), JsonValue(std::move(one)));

  const JsonValue value = parsed(R"({"b":1,"a":2,"\u00e9":3,"B":4,"ab":5,"b":6})");
  std::vector<std::string> keys;
  for (const JsonMember& m : *value.as_object()) keys.push_back(m.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "ab", "b", "\xC3\xA9"}));
  EXPECT_EQ(*value.as_object()->find("b"), num(6));
}

TEST(ReaderStructure, ManyMembersWithRepeats) {
  // 200,000 members written in descending key order, each key twice.
  constexpr int kKeys = 100000;
  std::string text = "{";
  for (int round = 0; round < 2; ++round) {
    for (int k = kKeys - 1; k >= 0; --k) {
      if (text.size() > 1) text += ',';
      text += "\"k" + std::to_string(1000000 + k) + "\":" + std::to_string(round * kKeys + k);
    }
  }
  text += "}";
  const JsonValue value = parsed(text);
  const JsonObject* object = value.as_object();
  ASSERT_NE(object, nullptr);
  ASSERT_EQ(object->size(), static_cast<std::size_t>(kKeys));
  int k = 0;
  for (const JsonMember& m : *object) {
    ASSERT_EQ(m.key, "k" + std::to_string(1000000 + k));
    ASSERT_EQ(m.value, num(kKeys + k));
    ++k;
  }
}

std::string nested_arrays(int depth) {
  return std::string(static_cast<std::size_t>(depth), '[') +
         std::string(static_cast<std::size_t>(depth), ']');
}

TEST(ReaderStructure, NestingBudget) {
  JsonValue value = parsed(nested_arrays(127));
  int depth = 0;
  for (const JsonValue* v = &value; const JsonArray* array = v->as_array(); v = &array->front()) {
    ++depth;
    if (array->empty()) break;
  }
  EXPECT_EQ(depth, 127);
  EXPECT_EQ(message_of(nested_arrays(128)), "recursion limit exceeded at line 1 column 128");

  // The budget is given back when a container closes: two 126-deep siblings
  // inside one array never have more than 127 open at once.
  EXPECT_EQ(message_of("[" + nested_arrays(126) + "," + nested_arrays(126) + "]"), "accepted");
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  objects += "1" + std::string(127, '}');
  EXPECT_EQ(message_of(objects), "accepted");
  // Inside one more array, the 127th brace is the 128th opening.
  EXPECT_EQ(message_of("[" + objects + "]"), "recursion limit exceeded at line 1 column 632");
}

TEST(ReaderStructure, HugeRunsOfOpeningBracketsStopAtTheBudget) {
  for (std::size_t count : {std::size_t{100000}, std::size_t{10000000}}) {
    EXPECT_EQ(message_of(std::string(count, '[')), "recursion limit exceeded at line 1 column 128");
    EXPECT_EQ(message_of(std::string(count, '{')), "key must be a string at line 1 column 2");
  }
}

// The text in a heap block of exactly its size, so that a look past the end
// is caught by the address sanitizer.
ParseResult parse_exact(std::string_view text) {
  std::unique_ptr<char[]> block(new char[text.size()]);
  std::memcpy(block.get(), text.data(), text.size());
  return parse_json(std::string_view(block.get(), text.size()));
}

const std::string kDocument =
    "{\"a\": [1, -2.5e-3, 18446744073709551616, true, false, null],\n"
    " \"s\": \"x\\u00e9\\ud83d\\ude00\\n\xC3\xA9 y\", \"o\": {\"k\": [[], {}]}, \"z\": -0}";

TEST(ReaderStructure, EveryPrefixEndsInAnEofError) {
  ASSERT_TRUE(std::holds_alternative<JsonValue>(parse_exact(kDocument)));
  for (std::size_t length = 0; length < kDocument.size(); ++length) {
    const std::string_view prefix(kDocument.data(), length);
    ParseResult result = parse_exact(prefix);
    ASSERT_TRUE(std::holds_alternative<JsonError>(result)) << prefix;
    const std::string message = error_message(std::get<JsonError>(result));
    const std::size_t line_start =
        prefix.rfind('\n') == std::string_view::npos ? 0 : prefix.rfind('\n') + 1;
    const std::string position = (line_start == 0 ? " at line 1" : " at line 2") +
                                 std::string(" column ") + std::to_string(length - line_start);
    EXPECT_EQ(message.rfind("EOF while parsing ", 0), 0u) << prefix << " -> " << message;
    EXPECT_TRUE(message.ends_with(position)) << prefix << " -> " << message;
  }
}

TEST(ReaderStructure, AnyByteAnywhereIsReadSafely) {
  // Every byte of the document replaced in turn by bytes that matter to the
  // reader; errors must point inside the text.
  const std::string bytes = std::string("\0\"\\[]{},:0-+e.u\n\x7F\x80\xFF", 19);
  for (std::size_t at = 0; at < kDocument.size(); ++at) {
    for (char b : bytes) {
      std::string text = kDocument;
      text[at] = b;
      ParseResult result = parse_exact(text);
      if (const auto* error = std::get_if<JsonError>(&result)) {
        ASSERT_GE(error->line, 1u) << text;
        ASSERT_LE(error->line, 3u) << text;
        ASSERT_LE(error->column, text.size()) << text;
      }
    }
  }
}

// Writes the events as a compact trace.
struct EventTrace {
  std::string trace;
  void null_value() { trace += "n "; }
  void bool_value(bool b) { trace += b ? "T " : "F "; }
  void number_value(const JsonNumber& n) { trace += "#" + std::to_string(as_double(n)) + " "; }
  void string_value(std::string_view s) { trace += "'" + std::string(s) + "' "; }
  void begin_array() { trace += "[ "; }
  void end_array() { trace += "] "; }
  void begin_object() { trace += "{ "; }
  void key(std::string_view s) { trace += "k:" + std::string(s) + " "; }
  void end_object() { trace += "} "; }
};

TEST(ReaderStructure, EventsFollowTheText) {
  EventTrace events;
  EXPECT_FALSE(read_json(R"({"b":[1,true],"a":null,"b":"x"})", events).has_value());
  EXPECT_EQ(events.trace, "{ k:b [ #1.000000 T ] k:a n k:b 'x' } ");

  // On an error the events stop where the error is.
  EventTrace partial;
  const std::optional<JsonError> error = read_json("[false,{\"k\":x", partial);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error_message(*error), "expected value at line 1 column 13");
  EXPECT_EQ(partial.trace, "[ F { k:k ");
}

// The same trace, from a handler that recognises the key "ab" from its
// bytes: a key it takes must show as if key() had been called, and every
// other text must read exactly as without the hook.
struct KnownKeyTrace : EventTrace {
  const char* known_key(const char* p, const char* end) {
    if (end - p < 3 || std::string_view(p, 3) != "ab\"") return nullptr;
    trace += "k:ab ";
    return p + 3;
  }
};

TEST(ReaderStructure, KnownKeysReadAsTheirKeyEvents) {
  const char* const texts[] = {
      R"({"ab":1})",
      R"({"ab":1,"ab":[2]})",
      R"({"a\u0062":1})",
      R"({"abc":1})",
      R"({"a":1})",
      R"({"ab" :1})",
      R"({"ab"1})",
      R"({"ab)",
      R"({"ab")",
      R"({"a)",
      R"([{"ab":{"ab":null}}])",
      R"({"ab\"":1})",
      R"({"\ab":1})",
      "{\"ab\":1}  x",
  };
  for (const char* text : texts) {
    EventTrace plain;
    KnownKeyTrace known;
    const std::optional<JsonError> a = read_json(text, plain);
    const std::optional<JsonError> b = read_json(text, known);
    EXPECT_EQ(known.trace, plain.trace) << text;
    ASSERT_EQ(a.has_value(), b.has_value()) << text;
    if (a) {
      EXPECT_EQ(error_message(*b), error_message(*a)) << text;
    }
  }
}

// Keeps what it receives and runs out of memory at the given event.
struct FailingHandler {
  int remaining;
  std::vector<std::string> kept;
  void event(std::string_view s) {
    if (--remaining == 0) throw std::bad_alloc();
    kept.emplace_back(s);
  }
  void null_value() { event("null"); }
  void bool_value(bool) { event("bool"); }
  void number_value(const JsonNumber&) { event("number"); }
  void string_value(std::string_view s) { event(s); }
  void begin_array() { event("["); }
  void end_array() { event("]"); }
  void begin_object() { event("{"); }
  void key(std::string_view s) { event(s); }
  void end_object() { event("}"); }
};

TEST(ReaderStructure, AnExceptionFromTheHandlerPropagates) {
  const std::string text = R"([{"long key with escapes \n":"value that is long enough"},[1,2]])";
  for (int at = 1; at <= 10; ++at) {
    FailingHandler handler{at, {}};
    EXPECT_THROW(read_json(text, handler), std::bad_alloc) << at;
    EXPECT_EQ(handler.kept.size(), static_cast<std::size_t>(at - 1));
  }
}

TEST(ReaderStructure, ErrorsDiscardThePartialTree) {
  EXPECT_EQ(message_of(R"([1,"two",{"a":[3,{"b":"c")"),
            "EOF while parsing an object at line 1 column 25");
  EXPECT_EQ(message_of(R"({"a":[1,2,3],"b":{"c":[true,false,]}})"),
            "trailing comma at line 1 column 35");
}

}  // namespace
}  // namespace quillmarrow
