#include "commands/records.hpp"

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

namespace quillmarrow {

namespace {

constexpr std::string_view kExpectDouble = "f64";
constexpr std::string_view kExpectBool = "a boolean";
constexpr std::string_view kExpectFewer = "fewer elements in array";

// The four numeric fields that both records share, in declared order; all
// four are required.
constexpr std::size_t kNumberCount = 4;
constexpr std::array<std::string_view, kNumberCount> kNumberNames = {
    "days_since_recall", "retrieval_count", "importance", "frequency"};

// The flags of a TierInput follow the numbers, as elements 4 and 5 of the
// array form; absent flags are false.
constexpr std::string_view kProceduralName = "is_procedural";
constexpr std::string_view kKeepForeverName = "keep_forever";

// What tells the two records apart.
struct RecordShape {
  bool has_flags;
  std::string_view expected;   // the whole record, e.g. "struct TierInput"
  std::string_view too_short;  // an array lacking a required element
};

constexpr RecordShape kTierShape = {true, "struct TierInput", "struct TierInput with 6 elements"};
constexpr RecordShape kRetentionShape = {false, "struct RetentionInput",
                                         "struct RetentionInput with 4 elements"};

struct Fields {
  std::array<double, kNumberCount> numbers{};
  bool is_procedural = false;
  bool keep_forever = false;
};

using Decoded = std::variant<Fields, JsonError>;

// Any JSON number is accepted whatever its representation; integers become
// the nearest double. Nothing else converts: not a string of digits, not null.
bool read_number(const JsonValue& value, double& out) {
  const JsonNumber* number = value.as_number();
  if (number == nullptr) return false;
  out = as_double(*number);
  return true;
}

// Only true and false are flags; 0, 1 and null are not.
bool read_flag(const JsonValue& value, bool& out) {
  const bool* flag = value.as_bool();
  if (flag == nullptr) return false;
  out = *flag;
  return true;
}

// The index of the numeric field named exactly key, or kNumberCount.
std::size_t number_index(std::string_view key) {
  std::size_t k = 0;
  while (k < kNumberCount && key != kNumberNames[k]) ++k;
  return k;
}

// Object form. Members are visited in the object's key order (ascending
// bytes), so among several wrongly typed members the first key reports.
// A wrongly typed field ends the decode at once; missing fields are checked
// only after every member has been visited, in declared order. Keys that
// name no field are skipped whatever they hold.
Decoded decode_object(const JsonObject& object, const RecordShape& shape) {
  Fields fields;
  std::array<bool, kNumberCount> seen{};
  for (const JsonMember& member : object) {
    const std::size_t k = number_index(member.key);
    if (k < kNumberCount) {
      if (!read_number(member.value, fields.numbers[k])) {
        return invalid_type(member.value, kExpectDouble);
      }
      seen[k] = true;
    } else if (shape.has_flags && member.key == kProceduralName) {
      if (!read_flag(member.value, fields.is_procedural)) {
        return invalid_type(member.value, kExpectBool);
      }
    } else if (shape.has_flags && member.key == kKeepForeverName) {
      if (!read_flag(member.value, fields.keep_forever)) {
        return invalid_type(member.value, kExpectBool);
      }
    }
  }
  for (std::size_t k = 0; k < kNumberCount; ++k) {
    if (!seen[k]) return missing_field(kNumberNames[k]);
  }
  return fields;
}

// Array form: element k is field k of the declared order. Each required
// element is checked in turn (present, then kind), then the optional flags,
// and only then the length, so a wrongly typed element is reported in
// preference to an over-long array.
Decoded decode_array(const JsonArray& array, const RecordShape& shape) {
  Fields fields;
  for (std::size_t k = 0; k < kNumberCount; ++k) {
    if (k >= array.size()) return invalid_length(array.size(), shape.too_short);
    if (!read_number(array[k], fields.numbers[k])) return invalid_type(array[k], kExpectDouble);
  }
  std::size_t field_count = kNumberCount;
  if (shape.has_flags) {
    bool* const flags[] = {&fields.is_procedural, &fields.keep_forever};
    for (bool* flag : flags) {
      if (field_count < array.size() && !read_flag(array[field_count], *flag)) {
        return invalid_type(array[field_count], kExpectBool);
      }
      ++field_count;
    }
  }
  if (array.size() > field_count) return invalid_length(array.size(), kExpectFewer);
  return fields;
}

Decoded decode_record(const JsonValue& value, const RecordShape& shape) {
  if (const JsonObject* object = value.as_object()) return decode_object(*object, shape);
  if (const JsonArray* array = value.as_array()) return decode_array(*array, shape);
  return invalid_type(value, shape.expected);
}

}  // namespace

std::variant<TierInput, JsonError> decode_tier_input(const JsonValue& value) {
  Decoded decoded = decode_record(value, kTierShape);
  if (JsonError* error = std::get_if<JsonError>(&decoded)) return std::move(*error);
  const Fields& f = std::get<Fields>(decoded);
  return TierInput{f.numbers[0], f.numbers[1],    f.numbers[2],
                   f.numbers[3], f.is_procedural, f.keep_forever};
}

std::variant<RetentionInput, JsonError> decode_retention_input(const JsonValue& value) {
  Decoded decoded = decode_record(value, kRetentionShape);
  if (JsonError* error = std::get_if<JsonError>(&decoded)) return std::move(*error);
  const Fields& f = std::get<Fields>(decoded);
  return RetentionInput{f.numbers[0], f.numbers[1], f.numbers[2], f.numbers[3]};
}

}  // namespace quillmarrow
