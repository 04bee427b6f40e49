#include "scoring/stability.hpp"

#include <array>
#include <cmath>
#include <cstdint>

namespace quillmarrow {

namespace {

constexpr double kStabilityFloor = 0.001;

using StabilityTable = std::array<double, kStabilityTableSize>;

// The entries come from stability_from_log at run time. The counts pass
// through a volatile zero, so the compiler cannot work the logarithms out
// while compiling: its own logarithm is correctly rounded and may differ in
// the last bit from the C library's, which the direct road calls.
StabilityTable make_table() {
  StabilityTable table{};
  volatile double opaque_zero = 0.0;
  for (std::size_t count = 0; count < table.size(); ++count) {
    table[count] = stability_from_log(static_cast<double>(count) + opaque_zero);
  }
  return table;
}

// Made once, on first use (thread-safe), and never changed afterwards.
const StabilityTable& stability_table() {
  static const StabilityTable table = make_table();
  return table;
}

}  // namespace

double stability_from_log(double count) {
  const double stability = std::log(count + 1.0);
  return stability > kStabilityFloor ? stability : kStabilityFloor;
}

double stability_of(double count) {
  if (count >= 0.0 && count < static_cast<double>(kStabilityTableSize)) {
    const auto whole = static_cast<std::uint32_t>(count);
    if (static_cast<double>(whole) == count) return stability_table()[whole];
  }
  return stability_from_log(count);
}

}  // namespace quillmarrow
