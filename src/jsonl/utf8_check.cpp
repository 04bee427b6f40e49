#include "jsonl/utf8_check.hpp"

#include <cstdint>
#include <cstring>

#include "json/utf8.hpp"

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

bool starts_a_sequence(unsigned char lead) {
  return lead >= 0xC2 && lead <= 0xF4;
}

}  // namespace

std::optional<Utf8Problem> find_utf8_problem(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = ascii_prefix(s, n);
  while (i < n) {
    if (s[i] < 0x80) {
      i += 1 + ascii_prefix(s + i + 1, n - i - 1);
      continue;
    }
    const Utf8Sequence sequence = utf8_sequence_at(text, i);
    if (sequence.well_formed) {
      i += sequence.length;
      continue;
    }
    // The maximal subpart stops at a byte that cannot continue the sequence,
    // or at the end of the text.
    if (!starts_a_sequence(s[i])) return Utf8Problem{i, kInvalidStart};
    if (i + sequence.length == n) return Utf8Problem{i, kUnexpectedEnd};
    return Utf8Problem{i, kInvalidContinuation};
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
