// The class pyo3_runtime.PanicException: what a panic becomes in Python.
#pragma once

#include "boundary/owned_ref.hpp"

namespace quillmarrow {

// A new reference to the class, made on first need and kept for the life of
// the process. Null, with the interpreter's error pending, if the class
// cannot be made.
OwnedRef panic_exception_class();

}  // namespace quillmarrow
