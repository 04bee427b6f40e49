// Reading the contents of a JSON string: a fast scan for the bytes that end a
// plain run (double quote, backslash, control byte) and the escape decoder.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/syntax_failure.hpp"

namespace quillmarrow {

namespace string_scan_detail {

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// Eight bytes with the byte at the lowest address in the lowest bits.
inline std::uint64_t load_little_endian(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    std::uint64_t swapped = 0;
    for (int i = 0; i < 8; ++i) swapped |= ((word >> (8 * i)) & 0xFFu) << (8 * (7 - i));
    word = swapped;
  }
  return word;
}

// The high bit of every byte below `limit` (limit <= 0x80). A borrow can only
// mark bytes above a byte that is really below the limit, so the lowest
// marked byte is always exact.
inline std::uint64_t bytes_below(std::uint64_t word, std::uint8_t limit) {
  return (word - kOnes * limit) & ~word & kHighBits;
}

inline std::uint64_t bytes_equal(std::uint64_t word, std::uint8_t byte) {
  return bytes_below(word ^ (kOnes * byte), 1);
}

}  // namespace string_scan_detail

// The offset of the first byte at or after pos that is a double quote, a
// backslash or below 0x20, or n when there is none. Tests eight bytes at a
// time while eight remain.
inline std::size_t find_string_special(const char* data, std::size_t pos, std::size_t n) {
  using namespace string_scan_detail;
#if defined(__SSE2__)
  // Sixteen bytes per step where the target has SSE2 (every x86-64): keys and
  // short strings, which are most strings of a payload, end in the first
  // step, where the eight-byte words below take two or three.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i last_control = _mm_set1_epi8(0x1F);
  while (n - pos >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
    // A byte is at most 0x1F exactly when the unsigned maximum with 0x1F is 0x1F.
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, last_control), last_control);
    const __m128i marks = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)), control);
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(marks));
    if (mask != 0) return pos + static_cast<std::size_t>(std::countr_zero(mask));
    pos += 16;
  }
#endif
  while (n - pos >= 8) {
    const std::uint64_t word = load_little_endian(data + pos);
    const std::uint64_t marks =
        bytes_equal(word, '"') | bytes_equal(word, '\\') | bytes_below(word, 0x20);
    if (marks != 0) return pos + static_cast<std::size_t>(std::countr_zero(marks)) / 8;
    pos += 8;
  }
  for (; pos < n; ++pos) {
    const auto c = static_cast<unsigned char>(data[pos]);
    if (c == '"' || c == '\\' || c < 0x20) return pos;
  }
  return n;
}

// Decodes one escape; pos is just after the backslash and ends just after the
// escape. Appends the bytes it stands for (UTF-8 for \u escapes) to out.
bool read_escape(std::string_view text, std::size_t& pos, std::string& out, SyntaxFailure& failure);

// Reads a string whose opening double quote has been consumed, leaving pos
// just after the closing one. Every byte other than the double quote, the
// backslash and the control bytes passes through unchanged. The contents are
// a view into text when the string has no escape, otherwise into scratch.
inline bool read_string(std::string_view text, std::size_t& pos, std::string& scratch,
                        std::string_view& contents, SyntaxFailure& failure) {
  const char* data = text.data();
  const std::size_t n = text.size();
  std::size_t start = pos;
  pos = find_string_special(data, pos, n);
  if (pos < n && data[pos] == '"') {
    contents = text.substr(start, pos - start);
    ++pos;
    return true;
  }
  scratch.clear();
  for (;;) {
    if (pos == n) {
      failure = SyntaxFailure{SyntaxErrorKind::eof_while_parsing_string, n};
      return false;
    }
    const char c = data[pos];
    scratch.append(data + start, pos - start);
    if (c == '"') {
      ++pos;
      contents = scratch;
      return true;
    }
    if (c != '\\') {
      failure = SyntaxFailure{SyntaxErrorKind::control_character_while_parsing_string, pos + 1};
      return false;
    }
    ++pos;
    if (!read_escape(text, pos, scratch, failure)) return false;
    start = pos;
    pos = find_string_special(data, pos, n);
  }
}

}  // namespace quillmarrow
