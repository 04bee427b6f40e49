// A JSON number as the reader reports it: an unsigned integer, a negative
// integer or a finite double, kept apart so that 1 and 1.0 differ.
#pragma once

#include <cstdint>

namespace quillmarrow {

struct JsonNumber {
  enum class Kind : std::uint8_t { unsigned_integer, negative_integer, floating };

  Kind kind = Kind::unsigned_integer;
  union {
    std::uint64_t unsigned_value;  // Kind::unsigned_integer
    std::int64_t negative_value;   // Kind::negative_integer, always below 0
    double double_value;           // Kind::floating, always finite
  };

  JsonNumber() : unsigned_value(0) {}
  static JsonNumber from_unsigned(std::uint64_t v) {
    JsonNumber n;
    n.kind = Kind::unsigned_integer;
    n.unsigned_value = v;
    return n;
  }
  static JsonNumber from_negative(std::int64_t v) {
    JsonNumber n;
    n.kind = Kind::negative_integer;
    n.negative_value = v;
    return n;
  }
  // The caller guarantees a finite double.
  static JsonNumber from_double(double v) {
    JsonNumber n;
    n.kind = Kind::floating;
    n.double_value = v;
    return n;
  }

  // Same representation and same value (doubles compared bit for bit).
  friend bool operator==(const JsonNumber& a, const JsonNumber& b);
};

// The numeric view used by input records: integers become the nearest double.
// Inline: it is on the path of every record field.
inline double as_double(const JsonNumber& n) {
  switch (n.kind) {
    case JsonNumber::Kind::unsigned_integer:
      return static_cast<double>(n.unsigned_value);
    case JsonNumber::Kind::negative_integer:
      return static_cast<double>(n.negative_value);
    case JsonNumber::Kind::floating:
      return n.double_value;
  }
  return 0.0;
}

}  // namespace quillmarrow
