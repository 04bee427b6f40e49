#include "jsonl/jsonl_line.hpp"

#include <utility>

#include "json/reader_core.hpp"
#include "jsonl/utf8_check.hpp"

namespace quillmarrow {

void JsonlLineHandler::renamed_key(std::string_view k) {
  if (depth_ != 1 || is_array_) return;
  record_.field_key(names_.field_of(k));
  recall_next_ = recalling_ && k == names_.recalled_at;
}

void JsonlLineHandler::member_value(const FieldValue& value) {
  if (recall_next_) take_recall(value);
  if (in_id_) {
    capture_.scalar(value);
  } else if (id_next_) {
    id_next_ = false;
    id_text_.clear();
    ValueCapture::write_scalar(id_text_, value);
    has_id_ = true;
  }
}

void JsonlLineHandler::member_begin(bool is_array) {
  if (recall_next_) take_recall(is_array ? FieldValue::sequence() : FieldValue::map());
  if (in_id_) {
    capture_.begin(is_array);
  } else if (id_next_) {
    id_next_ = false;
    in_id_ = true;
    capture_.begin(is_array);
  }
}

void JsonlLineHandler::take_recall(const FieldValue& value) {
  recall_next_ = false;
  has_recall_ = true;
  recall_ = recall_days_of(value, names_, recall_subject_);
}

std::optional<std::string> JsonlLineHandler::finish_record() {
  if (renamed_ && is_object_) [[unlikely]] {
    if (recalling_) {
      if (!has_recall_) return missing_recall_message(names_);
      if (recall_.error) return std::move(*recall_.error);
      record_.supply(kDaysSinceRecall, recall_.days);
    }
  }
  std::optional<EngineError> error = record_.finish();
  if (!error) return std::nullopt;
  if (renamed_ && is_object_) {
    return named_record_message(std::move(*error), record_.slots(), names_);
  }
  return std::move(error->message);
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
