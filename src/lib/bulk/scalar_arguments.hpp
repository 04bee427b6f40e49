// The arguments of the row-at-a-time functions that SQLite calls (through
// Python's sqlite3 module): Python numbers, flags and None, as SQLite hands
// them over. A None anywhere makes the result None (SQL's STRICT rule);
// otherwise each argument converts in parameter order, and the first that
// cannot is reported naming the function and the argument.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "boundary/py_err.hpp"
#include "boundary/python.hpp"

namespace quillmarrow {

// repr() of the object, cut to a readable length, for messages.
std::string repr_text(PyObject* object);

// True when one of the arguments is None.
bool any_none(PyObject* const* args, Py_ssize_t count) noexcept;

// A number: a float, or an int (bool included) converted to the nearest
// double; it must be finite. TypeError for any other type (a text, a blob),
// ValueError for NaN, infinity, or an int beyond the doubles.
std::optional<PyErr> number_argument(std::string_view function, std::string_view argument,
                                     PyObject* object, double& value);

// A flag: a bool, or the int 0 or 1.
std::optional<PyErr> flag_argument(std::string_view function, std::string_view argument,
                                   PyObject* object, bool& value);

// TypeError unless the number of positional arguments is within [least, most].
std::optional<PyErr> check_argument_range(std::string_view function, Py_ssize_t given,
                                          Py_ssize_t least, Py_ssize_t most);

}  // namespace quillmarrow
