#include "lib/bulk/column_error.hpp"

#include <cstdint>
#include <string>

#include "boundary/object_text.hpp"

namespace quillmarrow {

std::optional<PyErr> check_argument_count(const char* function, Py_ssize_t given,
                                          Py_ssize_t expected) {
  if (given == expected) return std::nullopt;
  return PyErr::deferred(ErrorClass::type_error,
                         std::string(function) + "() takes exactly " + std::to_string(expected) +
                             " positional arguments (" + std::to_string(given) + " given)");
}

PyResult<std::size_t> thread_count(PyObject* object) {
  if (PyLong_Check(object) == 0 || PyBool_Check(object) != 0) {
    OwnedRef type_name(PyType_GetName(Py_TYPE(object)));
    if (!type_name) return PyErr::fetch();
    return PyErr::deferred(ErrorClass::type_error,
                           concat({"threads must be an int, not ", object_text(type_name.get())}));
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred() != nullptr) return PyErr::fetch();
  if (overflow > 0) return SIZE_MAX;
  if (overflow < 0 || value < 1) {
    return PyErr::deferred(ErrorClass::value_error,
                           concat({"threads must be at least 1, not ", object_text(object)}));
  }
  return static_cast<std::size_t>(value);
}

}  // namespace quillmarrow
