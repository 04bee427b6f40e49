// The engine's entry. A call of the module's run comes here: run_command
// picks the command by name, the command's handler reads the payload with
// the JSON reader and fills its input records straight from the reader's
// events, the scoring functions take the records, and the result text is
// written into the success envelope (commands.hpp, result_text.hpp).
#pragma once

#include <string_view>

#include "records/engine_error.hpp"

namespace quillmarrow {

// command and payload are byte strings with explicit lengths; an embedded
// zero byte is an ordinary character. Returns the compact JSON text of the
// success envelope {"ok":true,"result":...} or the engine error.
CommandResult run_command(std::string_view command, std::string_view payload);

}  // namespace quillmarrow
