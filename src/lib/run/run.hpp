// The module function run(command, payload_json).
#pragma once

#include "boundary/python.hpp"

namespace quillmarrow {

// The method record of run: fast call with keywords, and the doc text from
// which the interpreter reads the signature "(command, payload_json)". It
// lives for the whole process, because the function object points at it.
PyMethodDef* run_method_record();

}  // namespace quillmarrow
