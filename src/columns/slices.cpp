#include "columns/slices.hpp"

#include <algorithm>

namespace quillmarrow {

std::size_t slice_count(std::size_t rows, std::size_t threads) {
  const std::size_t blocks = rows / kBlockRows + (rows % kBlockRows != 0 ? 1 : 0);
  return std::max<std::size_t>(1, std::min(threads, blocks));
}

RowRange slice_of(std::size_t rows, std::size_t count, std::size_t index) {
  const std::size_t blocks = rows / kBlockRows + (rows % kBlockRows != 0 ? 1 : 0);
  const std::size_t share = blocks / count;
  const std::size_t extra = blocks % count;
  auto first_block = [&](std::size_t slice) { return slice * share + std::min(slice, extra); };
  return RowRange{std::min(rows, first_block(index) * kBlockRows),
                  std::min(rows, first_block(index + 1) * kBlockRows)};
}

}  // namespace quillmarrow
