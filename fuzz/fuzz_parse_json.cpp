// Fuzz target for the JSON reader (json/reader_core.hpp), through the test
// support's parse_json, which builds a value tree from the reader's events,
// and the JSON layer's writers. For every byte string:
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
//    yields valid UTF-8 strings and value descriptions;
//  - a text that is one number agrees with the C library: integers that fit
//    are exact, doubles lie within a few units in the last place of strtod's
//    correctly rounded value, and "number out of range" comes exactly when
//    strtod overflows (apart from the last few units below the largest
//    double, where the two roundings may disagree).
#include <cerrno>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz_support.hpp"
#include "json/error.hpp"
#include "records/record_errors.hpp"
#include "reference/parse.hpp"
#include "reference/records.hpp"
#include "reference/value.hpp"
#include "reference/write.hpp"

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

// Whether text is exactly one number of the JSON grammar:
// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(std::string_view t) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i > start;
  };
  if (i < t.size() && t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == t.size();
}

// The text without the blanks around it, when what is left is one number of
// the JSON grammar; otherwise empty.
std::string lone_number(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  std::size_t b = 0;
  std::size_t e = text.size();
  while (b < e && blank(text[b])) ++b;
  while (e > b && blank(text[e - 1])) --e;
  const std::string_view core = text.substr(b, e - b);
  return is_json_number(core) ? std::string(core) : std::string();
}

bool is_integer_literal(const std::string& number) {
  return number.find_first_of(".eE") == std::string::npos;
}

// Where the magnitude of the number's exact value lies against the largest
// double, by strtold's wider rounding: clearly below it, within the last few
// units below and above it (where two different roundings may decide
// overflow differently), or clearly beyond.
enum class Magnitude { below, near_largest, beyond };

Magnitude magnitude_of(const std::string& number) {
  const long double v = std::fabs(std::strtold(number.c_str(), nullptr));
  const long double largest = DBL_MAX;
  if (std::isinf(v) || v > largest * (1.0L + 1e-15L)) return Magnitude::beyond;
  if (v < largest * (1.0L - 1e-15L)) return Magnitude::below;
  return Magnitude::near_largest;
}

void check_number_value(const std::string& number, const JsonNumber& n) {
  const bool negative = number[0] == '-';
  if (is_integer_literal(number)) {
    errno = 0;
    if (!negative) {
      const unsigned long long u = std::strtoull(number.c_str(), nullptr, 10);
      if (errno == 0) {
        QM_FUZZ_CHECK(n.kind == JsonNumber::Kind::unsigned_integer && n.unsigned_value == u,
                      number);
        return;
      }
    } else {
      const long long i = std::strtoll(number.c_str(), nullptr, 10);
      if (errno == 0 && i != 0) {
        QM_FUZZ_CHECK(n.kind == JsonNumber::Kind::negative_integer && n.negative_value == i,
                      number);
        return;
      }
    }
  }
  QM_FUZZ_CHECK(n.kind == JsonNumber::Kind::floating, number);
  QM_FUZZ_CHECK(magnitude_of(number) != Magnitude::beyond, number);
  const double reference = std::strtod(number.c_str(), nullptr);
  QM_FUZZ_CHECK(std::signbit(n.double_value) == negative, number);
  QM_FUZZ_CHECK(ulp_distance(std::fabs(n.double_value), std::fabs(reference)) <= 3, number);
}

void check_number_error(const std::string& number, const JsonError& error) {
  const bool out_of_range = error.kind == SyntaxErrorKind::number_out_of_range;
  const Magnitude m = magnitude_of(number);
  if (m == Magnitude::beyond) QM_FUZZ_CHECK(out_of_range, number);
  if (out_of_range) QM_FUZZ_CHECK(m != Magnitude::below, number);
}

void check_syntax_error(std::string_view text, const JsonError& error) {
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
  QM_FUZZ_CHECK(e.kind == SyntaxErrorKind::trailing_characters, error_message(e));
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
  const std::string number = lone_number(text);
  if (const JsonError* error = std::get_if<JsonError>(&result)) {
    check_syntax_error(text, *error);
    if (!number.empty()) check_number_error(number, *error);
    return 0;
  }
  const JsonValue& value = std::get<JsonValue>(result);
  if (!number.empty()) check_number_value(number, *value.as_number());
  const bool utf8_text = is_valid_utf8(text);
  check_invariants(value, utf8_text, 0);
  if (utf8_text) check_descriptions(value);
  check_round_trip(value);
  check_suffixes(text, value);
  return 0;
}
