// A panic: an unrecoverable failure inside the module's own code (a broken
// invariant, or an interpreter call that must not fail and did). It unwinds
// to the call frame, the only place that catches it, and reaches Python as
// pyo3_runtime.PanicException. It never derives from std::exception, so no
// handler for ordinary C++ errors swallows it on the way.
#pragma once

#include <string>
#include <utility>

namespace quillmarrow {

struct Panic {
  std::string message;
};

[[noreturn]] inline void panic(std::string message) {
  throw Panic{std::move(message)};
}

}  // namespace quillmarrow
