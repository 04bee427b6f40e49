// PyErr, the boundary's error record: a failure on its way to the
// interpreter. It is either deferred (an exception class and a message; no
// Python object exists yet) or ready (type, value and traceback fetched from
// the interpreter and normalised).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "boundary/owned_ref.hpp"
#include "boundary/python.hpp"

namespace quillmarrow {

// The classes of the errors that the module makes itself.
enum class ErrorClass {
  type_error,
  value_error,
  runtime_error,
  import_error,
  system_error,
  panic,  // pyo3_runtime.PanicException
};

class PyErr {
 public:
  static PyErr deferred(ErrorClass error_class, std::string message);
  // Takes the interpreter's pending exception, after a call that reported a
  // failure. With nothing pending the result is a deferred SystemError.
  static PyErr fetch();

  bool is_ready() const noexcept { return state_.index() == 1; }
  // True when the class is TypeError itself, not a subclass.
  bool is_exact_type_error() const noexcept;
  // The exception type and instance of a ready error; null for a deferred one.
  PyObject* type() const noexcept;
  PyObject* value() const noexcept;

  // The same error with its exception object made. For a deferred error the
  // interpreter creates the instance (and links the exception being handled
  // as its __context__, as it does for any raise).
  PyErr into_ready() &&;

  // Sets the error as the interpreter's current exception. Making the value
  // of a deferred error can only fail for lack of memory: then the
  // interpreter's MemoryError stays pending instead. Any other failure
  // prints the interpreter's error and panics with "Python API call failed".
  void raise() &&;

 private:
  struct Deferred {
    ErrorClass error_class;
    std::string message;
  };
  struct Ready {
    OwnedRef type;
    OwnedRef value;
    OwnedRef traceback;
  };
  explicit PyErr(Deferred deferred) noexcept : state_(std::move(deferred)) {}
  explicit PyErr(Ready ready) noexcept : state_(std::move(ready)) {}

  std::variant<Deferred, Ready> state_;
};

// The two deferred errors the modules make most: a TypeError and a ValueError.
inline PyErr type_error(std::string message) {
  return PyErr::deferred(ErrorClass::type_error, std::move(message));
}
inline PyErr value_error(std::string message) {
  return PyErr::deferred(ErrorClass::value_error, std::move(message));
}

// The outcome of a step that talks to the interpreter: a value or a PyErr.
template <class T>
class PyResult {
 public:
  PyResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  PyResult(PyErr error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  PyErr& error() { return std::get<1>(state_); }

 private:
  std::variant<T, PyErr> state_;
};

// True when the interpreter's pending exception is a MemoryError.
bool memory_error_pending() noexcept;

// For an interpreter call that must not fail and did: panics with the step's
// text, ": " and a description of the pending error. A pending MemoryError
// becomes std::bad_alloc instead, which the call frame raises as MemoryError.
[[noreturn]] void panic_on_python_error(std::string_view step);

}  // namespace quillmarrow
