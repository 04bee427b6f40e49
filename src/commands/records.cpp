#include "commands/records.hpp"

#include <optional>
#include <utility>

#include "commands/record_slots.hpp"

namespace quillmarrow {

namespace {

// Fills the slots from an already parsed value. An object's members come in
// key order; an array's elements in field order.
std::optional<JsonError> decode_into(const JsonValue& value, RecordSlots& slots) {
  if (const JsonObject* object = value.as_object()) {
    for (const JsonMember& member : *object) {
      const std::size_t field = slots.field_index(member.key);
      if (field != kNoField) slots.set(field, FieldValue::of(member.value));
    }
    return slots.finish_object();
  }
  if (const JsonArray* array = value.as_array()) {
    for (std::size_t k = 0; k < array->size(); ++k) {
      if (auto error = slots.set_element(k, FieldValue::of((*array)[k]))) return error;
    }
    return slots.finish_array(array->size());
  }
  return invalid_type(value, slots.shape().expected);
}

}  // namespace

std::variant<TierInput, JsonError> decode_tier_input(const JsonValue& value) {
  RecordSlots slots(kTierInputShape);
  if (std::optional<JsonError> error = decode_into(value, slots)) return std::move(*error);
  return slots.tier_input();
}

std::variant<RetentionInput, JsonError> decode_retention_input(const JsonValue& value) {
  RecordSlots slots(kRetentionInputShape);
  if (std::optional<JsonError> error = decode_into(value, slots)) return std::move(*error);
  return slots.retention_input();
}

}  // namespace quillmarrow
