// A syntax error as the reader first sees it: a kind and a byte offset. The
// line and column are worked out only when the error is reported.
#pragma once

#include <cstddef>
#include <string_view>

#include "json/error.hpp"

namespace quillmarrow {

struct SyntaxFailure {
  SyntaxErrorKind kind = SyntaxErrorKind::eof_while_parsing_value;
  // The offset p of the error: the offending byte's offset plus 1, so that the
  // column is that byte's 1-based column, or the text's length at its end.
  std::size_t offset = 0;
};

// The reported error: line = 1 + the line feeds among the first p bytes,
// column = p minus the offset just after the last of them (or p if none).
// Only line feeds end lines, and columns count bytes.
JsonError locate_syntax_error(std::string_view text, SyntaxFailure failure);

}  // namespace quillmarrow
