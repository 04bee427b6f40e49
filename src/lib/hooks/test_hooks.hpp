// Test-only commands that reach the failure paths of the call frame, which
// ordinary input cannot reach. Built only with QM_TEST_HOOKS, never released.
#pragma once

#include <optional>
#include <string_view>

#include "records/engine_error.hpp"

namespace quillmarrow {

// Answers the commands "qm-test-hook:<name>"; nothing for any other command.
//   ping          returns the text "pong"
//   panic         panics with the payload as its message
//   throw         throws a C++ exception that carries no text
//   bad-alloc     throws std::bad_alloc
//   invalid-utf8  returns output that is not UTF-8, so no str can hold it
std::optional<CommandResult> run_test_hook(std::string_view command, std::string_view payload);

}  // namespace quillmarrow
