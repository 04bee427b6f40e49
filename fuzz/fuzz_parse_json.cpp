// Fuzz target for parse_json. For every byte string:
//  - a rejected text gets a syntax error whose line and column point inside
//    the text (at most one byte past its end);
//  - an accepted text round-trips: writing the value and reading it back gives
//    the same value, and writing that again gives the same text. Doubles are
//    the exception: the reader multiplies a rounded significand by a rounded
//    power of ten, so a double written in its shortest form can come back a
//    unit or two in the last place away (39073268765e-191 reads as a double
//    written 3.9073268764999997e-181, which reads as one written
//    3.9073268765e-181, which reads as the first again). Such drift is allowed
//    up to kRereadUlpTolerance; with QM_FUZZ_STRICT_ROUND_TRIP=1 in the
//    environment any drift is a failure, to find examples;
//  - appending blanks changes nothing, appending a letter fails with
//    "trailing characters" just past the old end;
//  - objects keep unique keys in ascending byte order, and a valid UTF-8 text
//    yields valid UTF-8 strings and value descriptions.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz_support.hpp"
#include "json/error.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace quillmarrow::fuzz {
namespace {

// The offset p that a (line, column) pair names, or SIZE_MAX when no offset
// of the text gives that pair.
std::size_t offset_of_position(std::string_view text, std::size_t line, std::size_t column) {
  std::size_t start = 0;
  for (std::size_t l = 1; l < line; ++l) {
    const std::size_t lf = text.find('\n', start);
    if (lf == std::string_view::npos) return SIZE_MAX;
    start = lf + 1;
  }
  const std::size_t p = start + column;
  if (p > text.size()) return SIZE_MAX;
  if (text.substr(start, column).find('\n') != std::string_view::npos) return SIZE_MAX;
  return p;
}

void check_syntax_error(std::string_view text, const JsonError& error) {
  QM_FUZZ_CHECK(std::holds_alternative<SyntaxErrorKind>(error.kind), text);
  QM_FUZZ_CHECK(error.line >= 1, text);
  QM_FUZZ_CHECK(offset_of_position(text, error.line, error.column) != SIZE_MAX, text);
  const std::string message = error_message(error);
  const std::string suffix =
      " at line " + std::to_string(error.line) + " column " + std::to_string(error.column);
  QM_FUZZ_CHECK(message.size() > suffix.size() &&
                    message.compare(message.size() - suffix.size(), suffix.size(), suffix) == 0,
                message);
}

void check_invariants(const JsonValue& value, bool utf8_text, int depth) {
  QM_FUZZ_CHECK(depth < 128, "depth");
  if (const std::string* s = value.as_string()) {
    if (utf8_text) QM_FUZZ_CHECK(is_valid_utf8(*s), *s);
  } else if (const JsonNumber* n = value.as_number()) {
    if (n->kind == JsonNumber::Kind::floating) {
      QM_FUZZ_CHECK(std::isfinite(n->double_value), "non-finite double");
    } else if (n->kind == JsonNumber::Kind::negative_integer) {
      QM_FUZZ_CHECK(n->negative_value < 0, "non-negative negative_integer");
    }
  } else if (const JsonArray* a = value.as_array()) {
    for (const JsonValue& v : *a) check_invariants(v, utf8_text, depth + 1);
  } else if (const JsonObject* o = value.as_object()) {
    const std::string* previous = nullptr;
    for (const JsonMember& m : *o) {
      if (previous != nullptr) {
        // std::string compares bytes as unsigned char.
        QM_FUZZ_CHECK(*previous < m.key, m.key);
      }
      if (utf8_text) QM_FUZZ_CHECK(is_valid_utf8(m.key), m.key);
      previous = &m.key;
      check_invariants(m.value, utf8_text, depth + 1);
    }
  }
}

void check_descriptions(const JsonValue& value) {
  const std::string d = describe_value(value);
  QM_FUZZ_CHECK(!d.empty() && is_valid_utf8(d), d);
  const auto visit_children = [](const auto& range) {
    for (const auto& child : range) {
      const std::string cd = describe_value(child);
      QM_FUZZ_CHECK(!cd.empty() && is_valid_utf8(cd), cd);
    }
  };
  if (const JsonArray* a = value.as_array()) visit_children(*a);
  if (const JsonObject* o = value.as_object()) {
    for (const JsonMember& m : *o) {
      const std::string cd = describe_value(m.value);
      QM_FUZZ_CHECK(!cd.empty() && is_valid_utf8(cd), cd);
      const std::string q = quote_string(m.key);
      QM_FUZZ_CHECK(q.size() >= 2 && q.front() == '"' && q.back() == '"' && is_valid_utf8(q), q);
    }
  }
}

void check_round_trip(const JsonValue& value) {
  const std::string first = write_json(value);
  ParseResult reread = parse_json(first);
  QM_FUZZ_CHECK(std::holds_alternative<JsonValue>(reread), first);
  const JsonValue& second_value = std::get<JsonValue>(reread);
  Comparison cmp;
  compare_values(value, second_value, cmp);
  QM_FUZZ_CHECK(cmp.same_shape, first);
  const std::string second = write_json(second_value);
  static const bool strict = std::getenv("QM_FUZZ_STRICT_ROUND_TRIP") != nullptr &&
                             std::string_view(std::getenv("QM_FUZZ_STRICT_ROUND_TRIP")) == "1";
  if (strict) QM_FUZZ_CHECK(cmp.drifted_doubles == 0, first);
  if (cmp.drifted_doubles == 0) {
    QM_FUZZ_CHECK(second == first, second);
  } else {
    ParseResult third = parse_json(second);
    QM_FUZZ_CHECK(std::holds_alternative<JsonValue>(third), second);
    Comparison cmp2;
    compare_values(second_value, std::get<JsonValue>(third), cmp2);
    QM_FUZZ_CHECK(cmp2.same_shape, second);
  }
}

void check_suffixes(std::string_view text, const JsonValue& value) {
  std::string padded(text);
  padded += " \t\r\n";
  ParseResult blank = parse_json(padded);
  QM_FUZZ_CHECK(std::holds_alternative<JsonValue>(blank) && std::get<JsonValue>(blank) == value,
                padded);

  std::string extended(text);
  extended += 'x';
  ParseResult trailing = parse_json(extended);
  QM_FUZZ_CHECK(std::holds_alternative<JsonError>(trailing), extended);
  const JsonError& e = std::get<JsonError>(trailing);
  QM_FUZZ_CHECK(std::holds_alternative<SyntaxErrorKind>(e.kind) &&
                    std::get<SyntaxErrorKind>(e.kind) == SyntaxErrorKind::trailing_characters,
                error_message(e));
  QM_FUZZ_CHECK(offset_of_position(extended, e.line, e.column) == extended.size(),
                error_message(e));
}

}  // namespace
}  // namespace quillmarrow::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillmarrow;
  using namespace quillmarrow::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ParseResult result = parse_json(text);
  if (const JsonError* error = std::get_if<JsonError>(&result)) {
    check_syntax_error(text, *error);
    return 0;
  }
  const JsonValue& value = std::get<JsonValue>(result);
  const bool utf8_text = is_valid_utf8(text);
  check_invariants(value, utf8_text, 0);
  if (utf8_text) check_descriptions(value);
  check_round_trip(value);
  check_suffixes(text, value);
  return 0;
}
