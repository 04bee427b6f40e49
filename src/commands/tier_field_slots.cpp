#include "commands/tier_field_slots.hpp"

#include <cstring>

namespace quillmarrow {

namespace {

constexpr std::string_view kExpectDouble = "f64";
constexpr std::string_view kExpectBool = "a boolean";

bool is_flag(std::size_t field) {
  return field == kIsProcedural || field == kKeepForever;
}

bool kind_fits(std::size_t field, FieldValue::Kind kind) {
  return kind == (is_flag(field) ? FieldValue::Kind::boolean : FieldValue::Kind::number);
}

std::string_view expectation(std::size_t field) {
  return is_flag(field) ? kExpectBool : kExpectDouble;
}

// Object members are checked in ascending byte order of their keys.
constexpr std::array<std::size_t, kTierFieldCount> kKeyOrder = {
    kDaysSinceRecall, kFrequency, kImportance, kIsProcedural, kKeepForever, kRetrievalCount};

}  // namespace

JsonValue FieldValue::to_json() const {
  switch (kind) {
    case Kind::null:
      return JsonValue(JsonNull{});
    case Kind::boolean:
      return JsonValue(flag);
    case Kind::number:
      return JsonValue(number);
    case Kind::string:
      return JsonValue(std::string(text));
    case Kind::sequence:
      return JsonValue(JsonArray{});
    case Kind::map:
      return JsonValue(JsonObject{});
  }
  return JsonValue(JsonNull{});
}

// The six names have six different lengths, so the length alone picks the
// only candidate and one comparison confirms it.
std::size_t tier_field_index(std::string_view key) {
  std::size_t field = kNoField;
  std::string_view name;
  switch (key.size()) {
    case 17:
      field = kDaysSinceRecall, name = "days_since_recall";
      break;
    case 15:
      field = kRetrievalCount, name = "retrieval_count";
      break;
    case 10:
      field = kImportance, name = "importance";
      break;
    case 9:
      field = kFrequency, name = "frequency";
      break;
    case 13:
      field = kIsProcedural, name = "is_procedural";
      break;
    case 12:
      field = kKeepForever, name = "keep_forever";
      break;
    default:
      return kNoField;
  }
  return std::memcmp(key.data(), name.data(), name.size()) == 0 ? field : kNoField;
}

void TierFieldSlots::set(std::size_t field, const FieldValue& value) {
  Slot& slot = slots_[field];
  slot.kind = value.kind;
  slot.flag = value.flag;
  slot.number = value.number;
  if (value.kind == FieldValue::Kind::string) slot.text.assign(value.text);
  present_[field] = true;
}

std::optional<JsonError> TierFieldSlots::set_element(std::size_t index, const FieldValue& value) {
  if (index >= kTierFieldCount) return std::nullopt;
  if (!kind_fits(index, value.kind)) return invalid_type(value.to_json(), expectation(index));
  set(index, value);
  return std::nullopt;
}

JsonValue TierFieldSlots::slot_json(std::size_t field) const {
  const Slot& slot = slots_[field];
  FieldValue value{slot.kind, slot.flag, slot.number, slot.text};
  return value.to_json();
}

TierInput TierFieldSlots::record() const {
  auto number = [&](std::size_t field) { return as_double(slots_[field].number); };
  auto flag = [&](std::size_t field) { return present_[field] && slots_[field].flag; };
  return TierInput{number(kDaysSinceRecall), number(kRetrievalCount), number(kImportance),
                   number(kFrequency),       flag(kIsProcedural),     flag(kKeepForever)};
}

std::variant<TierInput, JsonError> TierFieldSlots::finish_object() const {
  for (std::size_t field : kKeyOrder) {
    if (present_[field] && !kind_fits(field, slots_[field].kind)) {
      return invalid_type(slot_json(field), expectation(field));
    }
  }
  for (std::size_t field = kDaysSinceRecall; field <= kFrequency; ++field) {
    if (!present_[field]) {
      static constexpr std::array<std::string_view, 4> kNames = {
          "days_since_recall", "retrieval_count", "importance", "frequency"};
      return missing_field(kNames[field]);
    }
  }
  return record();
}

std::variant<TierInput, JsonError> TierFieldSlots::finish_array(std::size_t length) const {
  if (length <= kFrequency) return invalid_length(length, "struct TierInput with 6 elements");
  if (length > kTierFieldCount) return invalid_length(length, "fewer elements in array");
  return record();
}

}  // namespace quillmarrow
