#include "jsonl/record_names.hpp"

#include <utility>

#include "json/number.hpp"
#include "scoring/records.hpp"

namespace quillmarrow {

namespace {

std::string quoted_member(std::string_view name) {
  std::string text = "member '";
  text.append(name);
  text += '\'';
  return text;
}

// The member and, when it is not the field's own name, the field.
std::string member_label(std::size_t field, const JsonlNames& names) {
  std::string label = quoted_member(names.member(field));
  if (names.member(field) != kFieldNames[field]) {
    label += " (field ";
    label.append(kFieldNames[field]);
    label += ')';
  }
  return label;
}

// How a value that is neither a number nor a text is named.
std::string_view kind_words(const FieldValue& value) {
  switch (value.kind) {
    case FieldValue::Kind::null:
      return "null";
    case FieldValue::Kind::boolean:
      return value.flag ? "true" : "false";
    case FieldValue::Kind::sequence:
      return "an array";
    case FieldValue::Kind::map:
      return "an object";
    case FieldValue::Kind::number:
    case FieldValue::Kind::string:
      break;
  }
  return "a value";
}

}  // namespace

bool JsonlNames::renamed() const {
  if (!recalled_at.empty()) return true;
  for (std::size_t field = 0; field < members.size(); ++field) {
    if (!members[field].empty() && members[field] != kFieldNames[field]) return true;
  }
  return false;
}

std::string_view JsonlNames::member(std::size_t field) const {
  return members[field].empty() ? kFieldNames[field] : members[field];
}

std::size_t JsonlNames::field_of(std::string_view key) const {
  for (std::size_t field = recalled_at.empty() ? 0 : 1; field < members.size(); ++field) {
    if (key == member(field)) return field;
  }
  return kNoField;
}

std::string recall_subject(const JsonlNames& names) {
  return quoted_member(names.recalled_at);
}

RecallDays recall_days_of(const FieldValue& value, const JsonlNames& names,
                          std::string_view subject) {
  RecallValue recall;
  if (value.kind == FieldValue::Kind::number) {
    recall.number = as_double(value.number);
  } else if (value.kind == FieldValue::Kind::string) {
    recall.is_text = true;
    recall.text = value.text;
  } else {
    std::string message(subject);
    message += " is ";
    message.append(kind_words(value));
    message.append(
        ", not a time: ISO-8601 text (2025-06-15T12:00:00Z, 2025-06-15) or a number "
        "in the time unit (");
    message.append(time_unit_words(names.recall.unit));
    message += ')';
    return {0.0, std::move(message)};
  }
  RecallDays result;
  if (auto error = days_since_value(subject, recall, names.recall, result.days)) {
    result.error = std::move(error->message);
  }
  return result;
}

std::string missing_recall_message(const JsonlNames& names) {
  return "missing " + quoted_member(names.recalled_at) + " (the recall time)";
}

std::string named_record_message(EngineError error, const RecordSlots& slots,
                                 const JsonlNames& names) {
  const std::optional<RecordSlots::ObjectFailure> failure = slots.object_failure();
  if (!failure || names.member(failure->field) == kFieldNames[failure->field]) {
    return std::move(error.message);
  }
  if (failure->missing) return "missing " + member_label(failure->field, names);
  return member_label(failure->field, names) + ": " + error.message;
}

}  // namespace quillmarrow
