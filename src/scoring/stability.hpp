// The stability of an item, the time constant of its forgetting curve:
// ln(count + 1), at least 0.001. Whole counts below kStabilityTableSize read
// it from a table whose entries were made by the very same logarithm call, so
// both roads give the same bits; other counts take the logarithm directly.
#pragma once

#include <cstddef>

namespace quillmarrow {

inline constexpr std::size_t kStabilityTableSize = 1024;

// ln(count + 1) from the C library, raised to 0.001 when it is not above that.
double stability_from_log(double count);

// The same value for every count, from the table where it has one. `count`
// is the clamped retrieval count: a number at or above 0, or anything else,
// which takes the direct road.
double stability_of(double count);

}  // namespace quillmarrow
