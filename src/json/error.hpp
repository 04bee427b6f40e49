// Failures of the JSON layer: syntax errors with a position, and decoding
// errors (a well-formed value of the wrong shape) without one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "json/value.hpp"

namespace quillmarrow {

enum class SyntaxErrorKind : std::uint8_t {
  eof_while_parsing_list,
  eof_while_parsing_object,
  eof_while_parsing_string,
  eof_while_parsing_value,
  expected_colon,
  expected_list_comma_or_end,
  expected_object_comma_or_end,
  expected_ident,
  expected_value,
  invalid_escape,
  invalid_number,
  number_out_of_range,
  control_character_while_parsing_string,
  key_must_be_a_string,
  lone_leading_surrogate_in_hex_escape,
  trailing_comma,
  trailing_characters,
  unexpected_end_of_hex_escape,
  recursion_limit_exceeded,
};

// The fixed text of a syntax error kind, without position.
std::string_view syntax_error_text(SyntaxErrorKind kind);

struct JsonError {
  // A syntax kind of the catalogue, or the free text of a decoding error.
  std::variant<SyntaxErrorKind, std::string> kind;
  std::size_t line = 0;  // 0: the error has no position
  std::size_t column = 0;

  friend bool operator==(const JsonError&, const JsonError&) = default;
};

// The message: the kind's text, then " at line L column C" when line != 0.
std::string error_message(const JsonError& error);

// The words that name a value inside a decoding error: "null",
// "boolean `true`", "integer `5`", "floating point `1.5`", "string \"abc\"",
// "sequence", "map".
std::string describe_value(const JsonValue& value);
// The quoted form of a string used by describe_value.
std::string quote_string(std::string_view text);

// Decoding errors; each has line 0 and column 0.
JsonError invalid_type(const JsonValue& value, std::string_view expected);
JsonError invalid_length(std::size_t length, std::string_view expected);
JsonError missing_field(std::string_view field);

}  // namespace quillmarrow
