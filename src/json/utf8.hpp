// The one UTF-8 validator: what stands at a position of a byte string. Each
// caller chooses its own replacement for ill-formed bytes.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillmarrow {

struct Utf8Sequence {
  // A well-formed sequence: its length (1 to 4) and code point. Otherwise the
  // length of the maximal subpart (1 to 3): the longest start of a
  // well-formed sequence found there, or 1 for a byte that starts none.
  std::size_t length = 1;
  bool well_formed = false;
  char32_t code_point = 0;
};

// The sequence at text[pos] (pos < text.size()). Overlong forms, surrogates
// and code points above U+10FFFF are ill-formed.
inline Utf8Sequence utf8_sequence_at(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[pos + k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {1, true, lead};
  // The number of continuation bytes, and the range of the first of them,
  // which excludes overlong forms, surrogates and values past U+10FFFF.
  std::size_t continuations = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t code_point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuations = 2;
    code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuations = 3;
    code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false, 0};
  }
  const std::size_t left = text.size() - pos;
  for (std::size_t k = 1; k <= continuations; ++k) {
    const unsigned char min = k == 1 ? low : 0x80;
    const unsigned char max = k == 1 ? high : 0xBF;
    if (k >= left || byte(k) < min || byte(k) > max) return {k, false, 0};
    code_point = code_point << 6 | (byte(k) & 0x3F);
  }
  return {continuations + 1, true, code_point};
}

}  // namespace quillmarrow
