// A strong reference to a Python object, released when the holder goes away.
// A holder is made, moved, reset and destroyed only while the interpreter
// lock is held. quillmarrow_engine_native never releases the lock; _bulk
// releases it around its kernels (lib/bulk/released_lock.hpp), and a holder
// may stay alive across such a stretch, but nothing in it touches one.
#pragma once

#include <utility>

#include "boundary/python.hpp"

namespace quillmarrow {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  // Takes over a new reference (which may be null).
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  // Makes a new reference to a borrowed object.
  static OwnedRef borrow(PyObject* object) noexcept {
    Py_IncRef(object);
    return OwnedRef(object);
  }

  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~OwnedRef() { reset(); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { Py_DecRef(std::exchange(object_, nullptr)); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace quillmarrow
