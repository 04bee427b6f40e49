#include "lib/bulk/scalar_arguments.hpp"

#include <string>

#include "boundary/object_text.hpp"
#include "boundary/owned_ref.hpp"
#include "scalar/finite.hpp"

namespace quillmarrow {

namespace {

std::string head(std::string_view function, std::string_view argument) {
  std::string text(function);
  text += ": ";
  text.append(argument);
  text += " is ";
  return text;
}

}  // namespace

std::string repr_text(PyObject* object) {
  const OwnedRef repr(PyObject_Repr(object));
  if (!repr) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  std::string text = object_text(repr.get());
  constexpr std::size_t kMost = 60;
  if (text.size() > kMost) {
    text.resize(kMost);
    text += "...";
  }
  return text;
}

namespace {

// What SQLite handed over, for a message: the text 'abc', a blob, ...
std::string describe(PyObject* object) {
  if (PyUnicode_Check(object)) return "the text " + repr_text(object);
  if (PyBytes_Check(object)) return "a blob";
  if (PyFloat_Check(object)) return "the real number " + repr_text(object);
  const OwnedRef type_name(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name) {
    PyErr_Clear();
    return "an object";
  }
  return "a " + object_text(type_name.get());
}

}  // namespace

bool any_none(PyObject* const* args, Py_ssize_t count) noexcept {
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (args[i] == Py_None) return true;
  }
  return false;
}

std::optional<PyErr> number_argument(std::string_view function, std::string_view argument,
                                     PyObject* object, double& value) {
  if (PyFloat_Check(object)) {
    value = PyFloat_AsDouble(object);
  } else if (PyLong_Check(object)) {
    value = PyLong_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      return PyErr::deferred(ErrorClass::value_error, head(function, argument) + repr_text(object) +
                                                          ", beyond the double-precision numbers");
    }
  } else {
    return PyErr::deferred(ErrorClass::type_error,
                           head(function, argument) + describe(object) + ", not a number");
  }
  ScalarMessage message;
  if (!check_finite(function, argument, value, message)) {
    return PyErr::deferred(ErrorClass::value_error, std::string(message.view()));
  }
  return std::nullopt;
}

std::optional<PyErr> flag_argument(std::string_view function, std::string_view argument,
                                   PyObject* object, bool& value) {
  if (object == Py_True || object == Py_False) {
    value = object == Py_True;
    return std::nullopt;
  }
  if (PyLong_Check(object)) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow == 0 && (number == 0 || number == 1)) {
      value = number == 1;
      return std::nullopt;
    }
    PyErr_Clear();
    return PyErr::deferred(ErrorClass::value_error, head(function, argument) + repr_text(object) +
                                                        ", not a flag (0, 1, false or true)");
  }
  return PyErr::deferred(ErrorClass::type_error, head(function, argument) + describe(object) +
                                                     ", not a flag (0, 1, false or true)");
}

std::optional<PyErr> check_argument_range(std::string_view function, Py_ssize_t given,
                                          Py_ssize_t least, Py_ssize_t most) {
  if (given >= least && given <= most) return std::nullopt;
  std::string text(function);
  text += "() takes ";
  text += least == most ? std::to_string(least)
                        : "from " + std::to_string(least) + " to " + std::to_string(most);
  text += " positional arguments (" + std::to_string(given) + " given)";
  return PyErr::deferred(ErrorClass::type_error, std::move(text));
}

}  // namespace quillmarrow
