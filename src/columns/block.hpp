// Blocks of rows: the kernels walk the columns a block at a time, so that a
// column of another type than contiguous doubles or bytes is converted into
// a small buffer on the stack rather than into a copy of the whole column.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "columns/column.hpp"

namespace quillmarrow {

inline constexpr std::size_t kBlockRows = 512;

using NumberBlock = std::array<double, kBlockRows>;
using FlagBlock = std::array<unsigned char, kBlockRows>;

// The doubles of rows [start, start + count) of a number column: a pointer
// into the column itself when it holds contiguous doubles, otherwise into
// `scratch`, where they are converted. Sets `bad` when one is not finite.
const double* number_block(const Column& column, std::size_t start, std::size_t count,
                           NumberBlock& scratch, bool& bad);

// The flags (0 or 1) of rows [start, start + count) of a flag column, or
// zeros for an absent one. Sets `bad` when an element is neither 0 nor 1.
const unsigned char* flag_block(const std::optional<Column>& column, std::size_t start,
                                std::size_t count, FlagBlock& scratch, bool& bad);

}  // namespace quillmarrow
