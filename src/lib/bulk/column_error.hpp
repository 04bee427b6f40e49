// A kernel's column error as the Python exception it is raised as.
#pragma once

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

}  // namespace quillmarrow
