// An error text written into a fixed buffer: the database functions report
// their errors from code that must not allocate (inside PostgreSQL a failed
// allocation would throw through the server), so every message here is
// assembled in place and cut at kScalarMessageRoom bytes.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace quillmarrow {

inline constexpr std::size_t kScalarMessageRoom = 320;

struct ScalarMessage {
  std::array<char, kScalarMessageRoom> text{};
  std::size_t size = 0;

  std::string_view view() const noexcept { return {text.data(), size}; }
  // A NUL-terminated copy of view() is text.data(): the last byte is kept free.
  const char* c_str() noexcept {
    text[size] = '\0';
    return text.data();
  }
  void add(std::string_view piece) noexcept {
    for (char c : piece) {
      if (size + 1 >= text.size()) return;
      text[size++] = c;
    }
  }
  // The shortest text that reads back as the same double (std::to_chars),
  // without an exponent below 1e16.
  void add_number(double value) noexcept;
};

}  // namespace quillmarrow
