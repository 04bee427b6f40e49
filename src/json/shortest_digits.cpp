// The two sources of shortest digits. Both give, for every finite x > 0, the
// shortest digits that read back to x, nearest to x, ties to even; the test
// of the digit sources checks that they agree.
#include "json/shortest_digits.hpp"

#include <charconv>

#if QM_HAVE_DRAGONBOX
#include <dragonbox/dragonbox.h>
#endif

namespace quillmarrow {

DecimalDigits shortest_digits_to_chars(double x) {
  // The scientific form "d[.ddd]e(+|-)XX[X]": its digits are the shortest
  // ones (libstdc++ prints some large integers exactly in its plain form,
  // never in this one), and they never end in a zero.
  char sci[32];
  const char* end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
  const char* p = sci;
  std::uint64_t significand = static_cast<std::uint64_t>(*p++ - '0');
  int fraction_digits = 0;
  if (*p == '.') {
    for (++p; *p != 'e'; ++p, ++fraction_digits) {
      significand = significand * 10 + static_cast<std::uint64_t>(*p - '0');
    }
  }
  ++p;  // the 'e'
  const bool negative = *p++ == '-';
  int e = 0;
  for (; p != end; ++p) e = e * 10 + (*p - '0');
  return {significand, (negative ? -e : e) - fraction_digits};
}

#if QM_HAVE_DRAGONBOX
DecimalDigits shortest_digits_dragonbox(double x) {
  // The defaults are the ones wanted: trailing zeros removed, ties between
  // two nearest candidates to an even digit. The sign is known to be plus.
  const auto d = jkj::dragonbox::to_decimal(x, jkj::dragonbox::policy::sign::ignore);
  return {d.significand, d.exponent};
}
#endif

DecimalDigits shortest_digits(double x) {
#if QM_HAVE_DRAGONBOX
  return shortest_digits_dragonbox(x);
#else
  return shortest_digits_to_chars(x);
#endif
}

}  // namespace quillmarrow
