#include "jsonl/jsonl_line.hpp"

#include <utility>

#include "json/reader_core.hpp"
#include "jsonl/utf8_check.hpp"

namespace quillmarrow {

void JsonlLineHandler::take_recall(const FieldValue& value) {
  recall_next_ = false;
  has_recall_ = true;
  recall_ = recall_days_of(value, names_, recall_subject_);
}

std::optional<std::string> JsonlLineHandler::finish_record() {
  if (renamed_ && is_object_) {
    if (recalling_) {
      if (!has_recall_) return missing_recall_message(names_);
      if (recall_.error) return std::move(*recall_.error);
      record_.supply(kDaysSinceRecall,
                     FieldValue::number_of(JsonNumber::from_double(recall_.days)));
    }
    if (std::optional<EngineError> error = record_.finish()) {
      return named_record_message(std::move(*error), record_.slots(), names_);
    }
    return std::nullopt;
  }
  if (std::optional<EngineError> error = record_.finish()) return std::move(error->message);
  return std::nullopt;
}

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
  if (std::optional<std::string> message = handler.finish_record()) {
    return {std::nullopt, std::move(*message)};
  }
  return {classify_tier(handler.record().slots().tier_input()), {}};
}

}  // namespace quillmarrow
