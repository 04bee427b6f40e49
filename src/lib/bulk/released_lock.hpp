// The interpreter lock released for the lifetime of the object. While it is
// released the code must not touch any Python object; the buffers it reads
// stay valid because the views that hold them were acquired before.
#pragma once

#include "boundary/python.hpp"

namespace quillmarrow {

class ReleasedLock {
 public:
  ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace quillmarrow
