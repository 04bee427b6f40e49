// Binding and conversion of the arguments of run(command, payload_json).
#pragma once

#include <string_view>

#include "boundary/py_err.hpp"
#include "boundary/python.hpp"

namespace quillmarrow {

// The UTF-8 texts of both arguments. They point into the argument str
// objects, which the caller holds for the whole call; nothing is copied.
struct RunArguments {
  std::string_view command;
  std::string_view payload_json;
};

// Binds the fast-call arguments by position or keyword, then converts
// command and payload_json, in that order. The first failure is returned.
PyResult<RunArguments> bind_run_arguments(PyObject* const* args, Py_ssize_t positional_count,
                                          PyObject* keyword_names);

}  // namespace quillmarrow
