// The JSON layer's one failure: a syntax error, with its position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
  SyntaxErrorKind kind = SyntaxErrorKind::eof_while_parsing_value;
  std::size_t line = 0;  // 0: the error has no position
  std::size_t column = 0;

  friend bool operator==(const JsonError&, const JsonError&) = default;
};

// The message: the kind's text, then " at line L column C" when line != 0.
std::string error_message(const JsonError& error);

}  // namespace quillmarrow
