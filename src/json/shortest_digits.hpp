// The shortest decimal digits of a double: the fewest significant digits
// that read back to the same double and, among those, the nearest to it
// (ties to an even last digit). The text of every double in every result is
// laid out from these digits.
#pragma once

#include <cstdint>

namespace quillmarrow {

// x == significand * 10^exponent, with no trailing zero in significand
// (at most 17 digits).
struct DecimalDigits {
  std::uint64_t significand = 0;
  int exponent = 0;
};

// The digits of a finite x > 0, from the source the build chose.
DecimalDigits shortest_digits(double x);

// The digits of a finite x > 0 read from std::to_chars's shortest scientific
// text; always built, the fallback source.
DecimalDigits shortest_digits_to_chars(double x);

#if QM_HAVE_DRAGONBOX
// The digits of a finite x > 0 from Dragonbox: the same digits as
// std::to_chars, about three times faster. Built when the build finds it.
DecimalDigits shortest_digits_dragonbox(double x);
#endif

}  // namespace quillmarrow
