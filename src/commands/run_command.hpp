// The single road through the engine: parse, select, decode, score, write.
#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace quillmarrow {

// A failure inside the engine: exactly one message, no code.
struct EngineError {
  std::string message;
};

using CommandResult = std::variant<std::string, EngineError>;

// command and payload are byte strings with explicit lengths; an embedded
// zero byte is an ordinary character. Returns the compact JSON text of the
// success envelope {"ok":true,"result":...} or the engine error.
CommandResult run_command(std::string_view command, std::string_view payload);

}  // namespace quillmarrow
