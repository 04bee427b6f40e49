#include "lib/hooks/test_hooks.hpp"

#include <new>
#include <string>

#include "boundary/object_text.hpp"
#include "boundary/panic.hpp"

namespace quillmarrow {

std::optional<CommandResult> run_test_hook(std::string_view command, std::string_view payload) {
  constexpr std::string_view prefix = "qm-test-hook:";
  if (command.substr(0, prefix.size()) != prefix) return std::nullopt;
  const std::string_view hook = command.substr(prefix.size());
  if (hook == "ping") return CommandResult(std::string("pong"));
  if (hook == "panic") panic(std::string(payload));
  if (hook == "throw") throw 42;
  if (hook == "bad-alloc") throw std::bad_alloc();
  if (hook == "invalid-utf8") return CommandResult(std::string("\xff"));
  return CommandResult(EngineError{concat({"unknown test hook: ", hook})});
}

}  // namespace quillmarrow
