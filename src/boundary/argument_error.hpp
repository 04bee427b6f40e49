// Names the parameter in the error of a failed argument conversion.
#pragma once

#include <string_view>

#include "boundary/py_err.hpp"

namespace quillmarrow {

// A TypeError (exactly that class) becomes a new TypeError
// "argument '{parameter}': {text of the old one}" that carries the old one's
// __cause__; setting the cause also sets __suppress_context__, so a
// traceback printed inside the caller's except block does not show the
// handled exception. Any other error passes through unchanged.
PyErr wrap_argument_error(std::string_view parameter, PyErr error);

}  // namespace quillmarrow
