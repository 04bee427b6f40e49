// ISO-8601 times as every road of the package reads them, one grammar:
//
//   YYYY-MM-DD [ (T | t | space) HH:MM [:SS [.fraction]] [ Z | z | +HH:MM | +HHMM | +HH ] ]
//
// (the offset's sign + or -; a time without an offset is UTC). Years 0001 to
// 9999, real calendar dates, hours 00-23, minutes and seconds 00-59, offsets
// up to 23:59. A fraction has one digit or more and is cut to the
// microsecond (finer digits floor). Nothing else may come before or after:
// no blanks, no week or ordinal dates, no leap second.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillmarrow {

// Sets microseconds (since 1970-01-01T00:00:00Z) and returns true when the
// whole text is such a time; returns false, microseconds untouched, otherwise.
bool parse_iso8601(std::string_view text, std::int64_t& microseconds) noexcept;

}  // namespace quillmarrow
