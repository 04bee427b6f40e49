// The call frame: every entry from the interpreter (module initialisation
// and each call of run) runs its body in one. The body returns a new
// reference or a PyErr, or it panics; the frame returns the reference, or
// sets the Python exception and returns null. No C++ exception ever leaves
// a frame.
#pragma once

#include <exception>
#include <new>
#include <optional>

#include "boundary/owned_ref.hpp"
#include "boundary/panic.hpp"
#include "boundary/py_err.hpp"
#include "boundary/python.hpp"
#include "contract/texts.hpp"

namespace quillmarrow {

namespace frame_detail {

// Memory exhaustion anywhere in the body (std::bad_alloc from the engine or
// from the boundary) is raised as MemoryError and the process goes on:
// unwinding has already released everything the call held, and the module
// keeps no state that a failed call could leave half changed, so the next
// call starts clean. Ending the process here would take the host, and every
// other memory of the assistant it serves, down with one oversized request.
inline PyObject* raise_memory_error() noexcept {
  PyErr_NoMemory();
  return nullptr;
}

// A failure while the frame itself raises an error: the interpreter could
// not make the error's value for a reason other than memory.
[[noreturn]] void abort_uncaught_panic() noexcept;

}  // namespace frame_detail

template <class Body>
PyObject* call_frame(Body&& body) noexcept {
  try {
    std::optional<PyErr> failure;
    try {
      PyResult<OwnedRef> outcome = body();
      if (!outcome.ok()) {
        failure.emplace(std::move(outcome.error()));
      } else if (outcome.value()) {
        return outcome.value().release();
      } else {
        failure.emplace(PyErr::fetch());  // a null result without an error of its own
      }
    } catch (Panic& panic) {
      failure.emplace(PyErr::deferred(ErrorClass::panic, std::move(panic.message)));
    } catch (const std::bad_alloc&) {
      return frame_detail::raise_memory_error();
    } catch (...) {
      // A failure that carries no text of its own.
      failure.emplace(PyErr::deferred(ErrorClass::panic, std::string(texts::kPanicWithoutMessage)));
    }
    std::move(*failure).raise();
    return nullptr;
  } catch (const std::bad_alloc&) {
    return frame_detail::raise_memory_error();
  } catch (...) {
    frame_detail::abort_uncaught_panic();
  }
}

}  // namespace quillmarrow
