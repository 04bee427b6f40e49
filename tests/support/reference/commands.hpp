// The commands on the reference road, read plainly: parse the whole payload
// into a tree, decode each record from it, score it, and write the result's
// value inside the success envelope. The engine's run_command must give the
// same text or the same message for every payload.
#pragma once

#include <string_view>

#include "commands/run_command.hpp"

namespace quillmarrow {

CommandResult run_command_through_tree(std::string_view command, std::string_view payload);

}  // namespace quillmarrow
