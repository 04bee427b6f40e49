// The fields of one TierInput as they are met in the payload text, for
// decoders that read records without building a value tree. The decoding
// rules and messages are those of decode_tier_input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "commands/records.hpp"
#include "json/error.hpp"
#include "json/value.hpp"

namespace quillmarrow {

// One value met inside a record, as far as decoding needs it: arrays and
// objects only by their kind, strings by a view valid for the current event.
struct FieldValue {
  enum class Kind : std::uint8_t { null, boolean, number, string, sequence, map };

  Kind kind = Kind::null;
  bool flag = false;
  JsonNumber number;
  std::string_view text;

  static FieldValue null() { return {}; }
  static FieldValue boolean(bool b) { return {Kind::boolean, b, {}, {}}; }
  static FieldValue number_of(const JsonNumber& n) { return {Kind::number, false, n, {}}; }
  static FieldValue string(std::string_view s) { return {Kind::string, false, {}, s}; }
  static FieldValue sequence() { return {Kind::sequence, false, {}, {}}; }
  static FieldValue map() { return {Kind::map, false, {}, {}}; }

  // The value as describe_value names it in a decoding error.
  JsonValue to_json() const;
};

// The fields of TierInput in declared order.
enum TierField : std::size_t {
  kDaysSinceRecall,
  kRetrievalCount,
  kImportance,
  kFrequency,
  kIsProcedural,
  kKeepForever,
  kTierFieldCount,
};
constexpr std::size_t kNoField = kTierFieldCount;

// The field named exactly key, or kNoField.
std::size_t tier_field_index(std::string_view key);

class TierFieldSlots {
 public:
  void clear() { present_ = {}; }

  // Object form: the member for field; a repeated key keeps its last value.
  void set(std::size_t field, const FieldValue& value);
  // Array form: element index, in order. Returns the error of a wrongly
  // typed field element; elements past the last field are only counted.
  std::optional<JsonError> set_element(std::size_t index, const FieldValue& value);

  // Object form complete: the first wrongly typed member in key order, then
  // the first missing required field in declared order.
  std::variant<TierInput, JsonError> finish_object() const;
  // Array form complete with length elements, none wrongly typed.
  std::variant<TierInput, JsonError> finish_array(std::size_t length) const;

 private:
  struct Slot {
    FieldValue::Kind kind = FieldValue::Kind::null;
    bool flag = false;
    JsonNumber number;
    std::string text;  // only for a string, kept for the error message
  };

  JsonValue slot_json(std::size_t field) const;
  TierInput record() const;

  std::array<bool, kTierFieldCount> present_{};
  std::array<Slot, kTierFieldCount> slots_;
};

}  // namespace quillmarrow
