#include "boundary/call_frame.hpp"

#include <cstdio>
#include <cstdlib>

#include "contract/texts.hpp"

namespace quillmarrow::frame_detail {

void abort_uncaught_panic() noexcept {
  std::fputs(texts::kUncaughtPanic, stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace quillmarrow::frame_detail
