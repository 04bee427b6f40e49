// What every engine operation that can fail returns: its result or an engine
// error. The records' decoders make these errors, the commands pass them on,
// and the module raises them as RuntimeError with the message unchanged.
#pragma once

#include <string>
#include <variant>

namespace quillmarrow {

// A failure inside the engine: exactly one message, no code.
struct EngineError {
  std::string message;
};

// A command's answer: the text of the success envelope, or the engine error.
using CommandResult = std::variant<std::string, EngineError>;

}  // namespace quillmarrow
