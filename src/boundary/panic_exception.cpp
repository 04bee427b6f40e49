#include "boundary/panic_exception.hpp"

#include <atomic>

#include "contract/texts.hpp"

namespace quillmarrow {

namespace {

// Made once, under the interpreter lock, and never released.
std::atomic<PyObject*> panic_class{nullptr};

}  // namespace

OwnedRef panic_exception_class() {
  PyObject* existing = panic_class.load(std::memory_order_acquire);
  if (existing == nullptr) {
    // BaseException as the only base: "except Exception" lets a panic through.
    PyObject* made = PyErr_NewExceptionWithDoc(
        texts::kPanicExceptionName, texts::kPanicExceptionDoc, PyExc_BaseException, nullptr);
    if (made == nullptr) return OwnedRef();
    if (panic_class.compare_exchange_strong(existing, made, std::memory_order_acq_rel)) {
      existing = made;
    } else {
      Py_DecRef(made);  // another caller made it first; use theirs
    }
  }
  return OwnedRef::borrow(existing);
}

}  // namespace quillmarrow
