// Texts of the syntax errors and their positions.
#include <algorithm>
#include <string>

#include "json/error.hpp"
#include "json/syntax_failure.hpp"

namespace quillmarrow {

std::string_view syntax_error_text(SyntaxErrorKind kind) {
  switch (kind) {
    case SyntaxErrorKind::eof_while_parsing_list:
      return "EOF while parsing a list";
    case SyntaxErrorKind::eof_while_parsing_object:
      return "EOF while parsing an object";
    case SyntaxErrorKind::eof_while_parsing_string:
      return "EOF while parsing a string";
    case SyntaxErrorKind::eof_while_parsing_value:
      return "EOF while parsing a value";
    case SyntaxErrorKind::expected_colon:
      return "expected `:`";
    case SyntaxErrorKind::expected_list_comma_or_end:
      return "expected `,` or `]`";
    case SyntaxErrorKind::expected_object_comma_or_end:
      return "expected `,` or `}`";
    case SyntaxErrorKind::expected_ident:
      return "expected ident";
    case SyntaxErrorKind::expected_value:
      return "expected value";
    case SyntaxErrorKind::invalid_escape:
      return "invalid escape";
    case SyntaxErrorKind::invalid_number:
      return "invalid number";
    case SyntaxErrorKind::number_out_of_range:
      return "number out of range";
    case SyntaxErrorKind::control_character_while_parsing_string:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case SyntaxErrorKind::key_must_be_a_string:
      return "key must be a string";
    case SyntaxErrorKind::lone_leading_surrogate_in_hex_escape:
      return "lone leading surrogate in hex escape";
    case SyntaxErrorKind::trailing_comma:
      return "trailing comma";
    case SyntaxErrorKind::trailing_characters:
      return "trailing characters";
    case SyntaxErrorKind::unexpected_end_of_hex_escape:
      return "unexpected end of hex escape";
    case SyntaxErrorKind::recursion_limit_exceeded:
      return "recursion limit exceeded";
  }
  return "unknown syntax error";
}

std::string error_message(const JsonError& error) {
  std::string message(syntax_error_text(error.kind));
  if (error.line != 0) {
    message += " at line ";
    message += std::to_string(error.line);
    message += " column ";
    message += std::to_string(error.column);
  }
  return message;
}

JsonError locate_syntax_error(std::string_view text, SyntaxFailure failure) {
  const std::string_view before = text.substr(0, std::min(failure.offset, text.size()));
  JsonError error;
  error.kind = failure.kind;
  error.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_line_feed = before.rfind('\n');
  error.column =
      last_line_feed == std::string_view::npos ? before.size() : before.size() - last_line_feed - 1;
  return error;
}

}  // namespace quillmarrow
