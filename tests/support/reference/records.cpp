#include "reference/records.hpp"

#include <optional>
#include <utility>

#include "records/record_errors.hpp"
#include "records/record_slots.hpp"

namespace quillmarrow {

namespace {

// Fills the slots from an already parsed value. An object's members come in
// key order; an array's elements in field order.
std::optional<EngineError> decode_into(const JsonValue& value, RecordSlots& slots) {
  if (const JsonObject* object = value.as_object()) {
    for (const JsonMember& member : *object) {
      const std::size_t field = slots.field_index(member.key);
      if (field != kNoField) slots.set(field, field_value_of(member.value));
    }
    return slots.finish_object();
  }
  if (const JsonArray* array = value.as_array()) {
    for (std::size_t k = 0; k < array->size(); ++k) {
      if (auto error = slots.set_element(k, field_value_of((*array)[k]))) return error;
    }
    return slots.finish_array(array->size());
  }
  return invalid_type(field_value_of(value), slots.shape().expected);
}

}  // namespace

FieldValue field_value_of(const JsonValue& value) {
  if (const JsonNumber* n = value.as_number()) return FieldValue::number_of(*n);
  if (const bool* b = value.as_bool()) return FieldValue::boolean(*b);
  if (const std::string* s = value.as_string()) return FieldValue::string(*s);
  if (value.as_array() != nullptr) return FieldValue::sequence();
  if (value.as_object() != nullptr) return FieldValue::map();
  return FieldValue::null();
}

std::string describe_value(const JsonValue& value) {
  return describe_field(field_value_of(value));
}

std::variant<TierInput, EngineError> decode_tier_input(const JsonValue& value) {
  RecordSlots slots(kTierInputShape);
  if (std::optional<EngineError> error = decode_into(value, slots)) return std::move(*error);
  return slots.tier_input();
}

std::variant<RetentionInput, EngineError> decode_retention_input(const JsonValue& value) {
  RecordSlots slots(kRetentionInputShape);
  if (std::optional<EngineError> error = decode_into(value, slots)) return std::move(*error);
  return slots.retention_input();
}

}  // namespace quillmarrow
