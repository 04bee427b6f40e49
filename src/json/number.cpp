#include "json/number.hpp"

#include <bit>

namespace quillmarrow {

bool operator==(const JsonNumber& a, const JsonNumber& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case JsonNumber::Kind::unsigned_integer:
      return a.unsigned_value == b.unsigned_value;
    case JsonNumber::Kind::negative_integer:
      return a.negative_value == b.negative_value;
    case JsonNumber::Kind::floating:
      return std::bit_cast<std::uint64_t>(a.double_value) ==
             std::bit_cast<std::uint64_t>(b.double_value);
  }
  return false;
}

}  // namespace quillmarrow
