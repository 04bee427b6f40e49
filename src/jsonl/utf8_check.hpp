// Whether a byte string is well-formed UTF-8, and where and why it is not.
// The engine's reader takes any bytes; text that comes from outside Python
// (a file, a pipe) is checked with this first.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillmarrow {

struct Utf8Problem {
  std::size_t offset;  // 0-based offset of the first byte of the bad sequence
  // "invalid start byte", "invalid continuation byte" or "unexpected end of data"
  std::string_view reason;
};

// The first ill-formed sequence of text, or nothing when all of it is
// well-formed UTF-8. Overlong forms, encoded surrogates and code points above
// U+10FFFF are ill-formed. The reasons and offsets are the ones Python's own
// strict UTF-8 decoder reports.
std::optional<Utf8Problem> find_utf8_problem(std::string_view text);

// "not valid UTF-8: <reason> at byte <offset + 1>"
std::string utf8_problem_message(const Utf8Problem& problem);

}  // namespace quillmarrow
