#include "commands/run_command.hpp"

#include <array>
#include <utility>

#include "commands/commands.hpp"
#include "commands/tier_batch_stream.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace quillmarrow {

namespace {

using Command = CommandOutput (*)(const JsonValue& payload);

struct CommandEntry {
  std::string_view name;
  Command run;
};

// Names are compared whole and case-sensitively: no trimming, no prefixes.
// "tier-batch" is not in this table: it reads its records straight from the
// payload text (see tier_batch_stream.hpp).
constexpr std::string_view kTierBatch = "tier-batch";
constexpr std::array<CommandEntry, 2> kCommands = {{
    {"tier", command_tier},
    {"score", command_score},
}};

Command find_command(std::string_view name) {
  for (const CommandEntry& entry : kCommands) {
    // Length first, then the bytes; embedded zero bytes are ordinary bytes.
    if (name.size() == entry.name.size() && name == entry.name) return entry.run;
  }
  return nullptr;
}

std::string write_envelope(JsonValue result) {
  JsonObject envelope;
  envelope.insert("ok", JsonValue(true));
  envelope.insert("result", std::move(result));
  return write_json(JsonValue(std::move(envelope)));
}

}  // namespace

// The payload is parsed before the name is looked at, so a malformed payload
// is reported even with an unknown command. The first failing check ends the
// call and nothing partial is returned.
CommandResult run_command(std::string_view command, std::string_view payload) {
  // The streaming batch reader checks the whole payload's syntax as it goes
  // and reports a syntax error before anything else, so its answers are the
  // same as parsing first.
  if (command.size() == kTierBatch.size() && command == kTierBatch) {
    return run_tier_batch_stream(payload);
  }

  ParseResult parsed = parse_json(payload);
  if (const JsonError* error = std::get_if<JsonError>(&parsed)) {
    return EngineError{error_message(*error)};
  }

  const Command run = find_command(command);
  if (run == nullptr) {
    std::string message = "unknown command: ";
    message.append(command);
    return EngineError{std::move(message)};
  }

  CommandOutput output = run(std::get<JsonValue>(parsed));
  if (EngineError* error = std::get_if<EngineError>(&output)) return std::move(*error);
  return write_envelope(std::move(std::get<JsonValue>(output)));
}

}  // namespace quillmarrow
