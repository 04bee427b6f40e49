// Texts of the syntax errors and their positions.
#include <algorithm>
#include <string>

#include "contract/texts.hpp"
#include "json/error.hpp"
#include "json/syntax_failure.hpp"

namespace quillmarrow {

std::string_view syntax_error_text(SyntaxErrorKind kind) {
  switch (kind) {
    case SyntaxErrorKind::eof_while_parsing_list:
      return texts::kEofWhileParsingList;
    case SyntaxErrorKind::eof_while_parsing_object:
      return texts::kEofWhileParsingObject;
    case SyntaxErrorKind::eof_while_parsing_string:
      return texts::kEofWhileParsingString;
    case SyntaxErrorKind::eof_while_parsing_value:
      return texts::kEofWhileParsingValue;
    case SyntaxErrorKind::expected_colon:
      return texts::kExpectedColon;
    case SyntaxErrorKind::expected_list_comma_or_end:
      return texts::kExpectedListCommaOrEnd;
    case SyntaxErrorKind::expected_object_comma_or_end:
      return texts::kExpectedObjectCommaOrEnd;
    case SyntaxErrorKind::expected_ident:
      return texts::kExpectedIdent;
    case SyntaxErrorKind::expected_value:
      return texts::kExpectedValue;
    case SyntaxErrorKind::invalid_escape:
      return texts::kInvalidEscape;
    case SyntaxErrorKind::invalid_number:
      return texts::kInvalidNumber;
    case SyntaxErrorKind::number_out_of_range:
      return texts::kNumberOutOfRange;
    case SyntaxErrorKind::control_character_while_parsing_string:
      return texts::kControlCharacter;
    case SyntaxErrorKind::key_must_be_a_string:
      return texts::kKeyMustBeAString;
    case SyntaxErrorKind::lone_leading_surrogate_in_hex_escape:
      return texts::kLoneLeadingSurrogate;
    case SyntaxErrorKind::trailing_comma:
      return texts::kTrailingComma;
    case SyntaxErrorKind::trailing_characters:
      return texts::kTrailingCharacters;
    case SyntaxErrorKind::unexpected_end_of_hex_escape:
      return texts::kUnexpectedEndOfHexEscape;
    case SyntaxErrorKind::recursion_limit_exceeded:
      return texts::kRecursionLimitExceeded;
  }
  return "unknown syntax error";
}

std::string error_message(const JsonError& error) {
  std::string message(syntax_error_text(error.kind));
  if (error.line != 0) {
    message += texts::kAtLine;
    message += std::to_string(error.line);
    message += texts::kColumn;
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
