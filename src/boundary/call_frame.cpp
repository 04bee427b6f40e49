#include "boundary/call_frame.hpp"

#include <cstdio>
#include <cstdlib>

namespace quillmarrow::frame_detail {

void abort_uncaught_panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace quillmarrow::frame_detail
