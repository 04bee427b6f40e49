#include "commands/run_command.hpp"

#include <array>
#include <optional>
#include <utility>

#include "commands/commands.hpp"
#include "contract/texts.hpp"

namespace quillmarrow {

namespace {

using Command = CommandResult (*)(std::string_view payload);

struct CommandEntry {
  std::string_view name;
  Command run;
};

// Names are compared whole and case-sensitively: no trimming, no prefixes.
constexpr std::array<CommandEntry, 3> kCommands = {{
    {"tier", run_tier},
    {"tier-batch", run_tier_batch},
    {"score", run_score},
}};

Command find_command(std::string_view name) {
  for (const CommandEntry& entry : kCommands) {
    // Length first, then the bytes; embedded zero bytes are ordinary bytes.
    if (name.size() == entry.name.size() && name == entry.name) return entry.run;
  }
  return nullptr;
}

}  // namespace

// The payload's syntax is checked before the name matters: each command
// reads the whole payload and reports a syntax error before anything else,
// and an unknown name is reported only for a well-formed payload. The first
// failing check ends the call and nothing partial is returned.
CommandResult run_command(std::string_view command, std::string_view payload) {
  if (const Command run = find_command(command)) return run(payload);
  if (std::optional<JsonError> error = check_syntax(payload)) {
    return EngineError{error_message(*error)};
  }
  std::string message(texts::kUnknownCommand);
  message.append(command);
  return EngineError{std::move(message)};
}

}  // namespace quillmarrow
