#include "lib/bulk/column_error.hpp"

#include <string>

namespace quillmarrow {

std::optional<PyErr> check_argument_count(const char* function, Py_ssize_t given,
                                          Py_ssize_t expected) {
  if (given == expected) return std::nullopt;
  return PyErr::deferred(ErrorClass::type_error,
                         std::string(function) + "() takes exactly " + std::to_string(expected) +
                             " positional arguments (" + std::to_string(given) + " given)");
}

}  // namespace quillmarrow
