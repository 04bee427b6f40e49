#include "boundary/py_err.hpp"

#include <new>

#include "boundary/object_text.hpp"
#include "boundary/panic.hpp"
#include "boundary/panic_exception.hpp"
#include "contract/texts.hpp"

namespace quillmarrow {

namespace {

OwnedRef exception_class(ErrorClass error_class) {
  switch (error_class) {
    case ErrorClass::type_error:
      return OwnedRef::borrow(PyExc_TypeError);
    case ErrorClass::value_error:
      return OwnedRef::borrow(PyExc_ValueError);
    case ErrorClass::runtime_error:
      return OwnedRef::borrow(PyExc_RuntimeError);
    case ErrorClass::import_error:
      return OwnedRef::borrow(PyExc_ImportError);
    case ErrorClass::system_error:
      return OwnedRef::borrow(PyExc_SystemError);
    case ErrorClass::panic:
      return panic_exception_class();
  }
  panic("unknown error class");
}

// The interpreter could not make an exception's class or value.
void on_value_failure() {
  // Lack of memory is reported as MemoryError and the process goes on.
  if (memory_error_pending()) return;
  PyErr_Print();
  panic(std::string(texts::kPythonApiFailed));
}

}  // namespace

PyErr PyErr::deferred(ErrorClass error_class, std::string message) {
  return PyErr(Deferred{error_class, std::move(message)});
}

PyErr PyErr::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_DecRef(value);
    Py_DecRef(traceback);
    return deferred(ErrorClass::system_error, "attempted to fetch exception but none was set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  return PyErr(Ready{OwnedRef(type), OwnedRef(value), OwnedRef(traceback)});
}

bool PyErr::is_exact_type_error() const noexcept {
  if (const auto* deferred = std::get_if<Deferred>(&state_)) {
    return deferred->error_class == ErrorClass::type_error;
  }
  return std::get<Ready>(state_).type.get() == PyExc_TypeError;
}

PyObject* PyErr::type() const noexcept {
  const auto* ready = std::get_if<Ready>(&state_);
  return ready == nullptr ? nullptr : ready->type.get();
}

PyObject* PyErr::value() const noexcept {
  const auto* ready = std::get_if<Ready>(&state_);
  return ready == nullptr ? nullptr : ready->value.get();
}

PyErr PyErr::into_ready() && {
  if (is_ready()) return std::move(*this);
  std::move(*this).raise();
  return fetch();
}

void PyErr::raise() && {
  if (auto* ready = std::get_if<Ready>(&state_)) {
    PyErr_Restore(ready->type.release(), ready->value.release(), ready->traceback.release());
    return;
  }
  const Deferred& deferred = std::get<Deferred>(state_);
  OwnedRef type = exception_class(deferred.error_class);
  if (!type) return on_value_failure();
  OwnedRef value(PyUnicode_FromStringAndSize(deferred.message.data(),
                                             static_cast<Py_ssize_t>(deferred.message.size())));
  if (!value) return on_value_failure();
  if (deferred.error_class == ErrorClass::panic) {
    // The panic exception is made from a one-element tuple, so its args hold
    // the message just as the other classes' do.
    OwnedRef tuple(PyTuple_New(1));
    if (!tuple) return on_value_failure();
    if (PyTuple_SetItem(tuple.get(), 0, value.release()) != 0) return on_value_failure();
    value = std::move(tuple);
  }
  PyErr_SetObject(type.get(), value.get());
}

bool memory_error_pending() noexcept {
  return PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_MemoryError) != 0;
}

void panic_on_python_error(std::string_view step) {
  if (memory_error_pending()) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  PyErr error = PyErr::fetch().into_ready();
  std::string message(step);
  message += ": ";
  message +=
      error.value() == nullptr ? std::string("unknown error") : describe_exception(error.value());
  panic(std::move(message));
}

}  // namespace quillmarrow
