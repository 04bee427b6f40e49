// A kernel's column error as the Python exception it is raised as, and the
// checks of the column functions' plain arguments.
#pragma once

#include <cstddef>

#include "boundary/py_err.hpp"
#include "columns/column.hpp"

namespace quillmarrow {

inline PyErr column_error_to_py(ColumnError error) {
  return PyErr::deferred(
      error.kind == ColumnError::Kind::type ? ErrorClass::type_error : ErrorClass::value_error,
      std::move(error.message));
}

// TypeError unless exactly `expected` positional arguments were given.
std::optional<PyErr> check_argument_count(const char* function, Py_ssize_t given,
                                          Py_ssize_t expected);

// The number of threads a call may use: an int (not a bool) of at least 1;
// TypeError or ValueError otherwise. A count too large for a long long is
// taken as the largest: the kernels use at most one thread per block anyway.
PyResult<std::size_t> thread_count(PyObject* object);

}  // namespace quillmarrow
