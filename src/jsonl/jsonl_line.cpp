#include "jsonl/jsonl_line.hpp"

#include <utility>

#include "json/reader_core.hpp"
#include "jsonl/utf8_check.hpp"

namespace quillmarrow {

JsonlLineResult tier_jsonl_line(std::string_view line, JsonlLineHandler& handler) {
  handler.start_line();
  if (std::optional<Utf8Problem> problem = find_utf8_problem(line)) {
    return {std::nullopt, utf8_problem_message(*problem)};
  }
  if (std::optional<JsonError> error = read_json(line, handler)) {
    // The events stopped at the error: an id seen before it does not count.
    handler.start_line();
    return {std::nullopt, error_message(*error)};
  }
  if (std::optional<EngineError> error = handler.record().finish()) {
    return {std::nullopt, std::move(error->message)};
  }
  return {classify_tier(handler.record().slots().tier_input()), {}};
}

}  // namespace quillmarrow
