#include "commands/utf8_check.hpp"

#include <cstdint>
#include <cstring>

namespace quillmarrow {

namespace {

constexpr std::string_view kInvalidStart = "invalid start byte";
constexpr std::string_view kInvalidContinuation = "invalid continuation byte";
constexpr std::string_view kUnexpectedEnd = "unexpected end of data";

// Length of the leading run of ASCII bytes, eight at a time.
std::size_t ascii_prefix(const unsigned char* s, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s + i, sizeof word);
    if ((word & 0x8080808080808080ULL) != 0) break;
  }
  while (i < n && s[i] < 0x80) ++i;
  return i;
}

}  // namespace

std::optional<Utf8Problem> find_utf8_problem(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = ascii_prefix(s, n);
  while (i < n) {
    const unsigned char lead = s[i];
    if (lead < 0x80) {
      i += 1 + ascii_prefix(s + i + 1, n - i - 1);
      continue;
    }
    std::size_t length;
    unsigned char low = 0x80;  // the range of the byte after the lead
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // no overlong forms
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      return Utf8Problem{i, kInvalidStart};
    }
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k == n) return Utf8Problem{i, kUnexpectedEnd};
      const unsigned char c = s[i + k];
      if (c < low || c > high) return Utf8Problem{i, kInvalidContinuation};
      low = 0x80;
      high = 0xBF;
    }
    i += length;
  }
  return std::nullopt;
}

std::string utf8_problem_message(const Utf8Problem& problem) {
  std::string message = "not valid UTF-8: ";
  message.append(problem.reason);
  message.append(" at byte ");
  message.append(std::to_string(problem.offset + 1));
  return message;
}

}  // namespace quillmarrow
