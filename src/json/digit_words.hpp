// Decimal digits read eight bytes at a time: the number readers spend most of
// their time taking digits into a significand, and a word of eight bytes is
// tested and converted in a handful of operations instead of eight steps.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "json/string_scan.hpp"

namespace quillmarrow::digit_words {

inline bool is_digit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}
inline unsigned digit_value(char c) {
  return static_cast<unsigned>(c - '0');
}

// Nineteen decimal digits always fit in 64 bits (10^19 - 1 < 2^64 - 1), so
// the first nineteen digits of a significand need no overflow check.
inline constexpr int kDigitsThatAlwaysFit = 19;

// One mark (a nonzero nibble) in each byte of word (first byte lowest) that
// is not '0'..'9': a digit's high nibble is 3, and adding 6 does not carry
// into it. A byte above 0xF9 carries into the next byte, but it is marked
// itself, so the lowest mark is always exact.
inline std::uint64_t non_digit_marks(std::uint64_t word) {
  constexpr std::uint64_t kHighNibbles = 0xF0F0F0F0F0F0F0F0u;
  constexpr std::uint64_t kThrees = 0x3333333333333333u;
  constexpr std::uint64_t kSixes = 0x0606060606060606u;
  return ((word & kHighNibbles) | (((word + kSixes) & kHighNibbles) >> 4)) ^ kThrees;
}

// How many of the eight bytes of word, from the first, are digits.
inline int leading_digit_count(std::uint64_t word) {
  const std::uint64_t marks = non_digit_marks(word);
  return marks == 0 ? 8 : std::countr_zero(marks) / 8;
}

// The value of eight ASCII digits (first byte lowest, so most significant),
// combined pairwise: 8 digits -> 4 two-digit -> 2 four-digit -> 1 value.
inline std::uint32_t eight_digits_value(std::uint64_t word) {
  word -= 0x3030303030303030u;
  word = (word * 10 + (word >> 8)) & 0x00FF00FF00FF00FFu;          // pairs, in 16-bit lanes
  word = (word * 100 + (word >> 16)) & 0x0000FFFF0000FFFFu;        // quads, in 32-bit lanes
  return static_cast<std::uint32_t>(word * 10000 + (word >> 32));  // low 32 bits
}

// The value of the first k digits of word, 0 < k < 8: they move to the last
// k places and '0's fill the first ones, so that eight digits are combined.
inline std::uint32_t leading_digits_value(std::uint64_t word, int k) {
  const int shift = 8 * (8 - k);
  return eight_digits_value((word << shift) | (0x3030303030303030u >> (64 - shift)));
}

inline constexpr std::uint32_t kSmallPowersOfTen[9] = {1,      10,      100,      1000,     10000,
                                                       100000, 1000000, 10000000, 100000000};

// Appends up to `room` digits at pos to significand without overflow checks
// (the caller guarantees that significand < 10^(19 - room)), and returns how
// many it took: all eight bytes of a word when they are digits, or the run of
// digits before the first other byte, in one step either way. A coordinate
// such as "-65.613616999999977" takes three steps.
[[gnu::always_inline]] inline int take_digits(const char* data, std::size_t& pos, std::size_t n,
                                              std::uint64_t& significand, int room) {
  // Local copies: pos and significand have the same type and may alias, so
  // working on them through the references would store both at every step.
  std::size_t at = pos;
  std::uint64_t value = significand;
  int taken = 0;
  while (n - at >= 8) {
    const std::uint64_t word = string_scan_detail::load_little_endian(data + at);
    int k = leading_digit_count(word);
    if (k > room - taken) k = room - taken;
    if (k == 8) {
      value = value * kSmallPowersOfTen[8] + eight_digits_value(word);
    } else if (k > 0) {
      value = value * kSmallPowersOfTen[k] + leading_digits_value(word, k);
    }
    at += static_cast<std::size_t>(k);
    taken += k;
    if (k < 8) break;
  }
  // Fewer than eight bytes left in the text: one digit at a time.
  if (n - at < 8) {
    for (; taken < room && at < n && is_digit(data[at]); ++at, ++taken) {
      value = value * 10 + digit_value(data[at]);
    }
  }
  pos = at;
  significand = value;
  return taken;
}

}  // namespace quillmarrow::digit_words
