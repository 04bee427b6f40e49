// A call's rows split into slices, one per thread. Each slice is a run of
// whole blocks (kBlockRows rows; the last slice ends at the last row), so
// the threads never write into the same block of an output, and every row
// is computed by exactly the code that computes it on one thread: threads
// change where a row is computed, never how.
#pragma once

#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

#include "columns/block.hpp"

namespace quillmarrow {

struct RowRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// The number of slices `rows` rows are cut into for `threads` threads: at
// most `threads`, at most one per block, at least one.
std::size_t slice_count(std::size_t rows, std::size_t threads);

// Slice `index` of `count`: the blocks shared out as evenly as they go, the
// earlier slices taking one more when they do not divide.
RowRange slice_of(std::size_t rows, std::size_t count, std::size_t index);

// Calls work(range) once for each slice of the rows: the first slice on the
// calling thread, each other one on a thread of its own that lives for this
// call only (joined before the function returns). A thread the system
// refuses to start costs nothing but time: the calling thread works its
// slice too.
template <class Work>
void run_in_slices(std::size_t rows, std::size_t threads, Work&& work) {
  const std::size_t count = slice_count(rows, threads);
  if (count == 1) {
    work(RowRange{0, rows});
    return;
  }
  std::vector<RowRange> on_caller{slice_of(rows, count, 0)};
  std::vector<std::jthread> workers;
  workers.reserve(count - 1);
  for (std::size_t index = 1; index < count; ++index) {
    const RowRange range = slice_of(rows, count, index);
    try {
      workers.emplace_back([&work, range] { work(range); });
    } catch (const std::system_error&) {
      on_caller.push_back(range);
    }
  }
  for (const RowRange& range : on_caller) work(range);
  // The workers' destructors join them.
}

}  // namespace quillmarrow
