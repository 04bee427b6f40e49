// The fields of one input record as they are met, and the decoding rules that
// turn them into a TierInput or a RetentionInput, with their error messages.
// The commands' record readers fill these slots from the reader's events.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "contract/texts.hpp"
#include "json/number.hpp"
#include "records/engine_error.hpp"
#include "records/field_value.hpp"
#include "scoring/records.hpp"

namespace quillmarrow {

// Fields in declared order. A RetentionInput has the first four.
enum RecordField : std::size_t {
  kDaysSinceRecall,
  kRetrievalCount,
  kImportance,
  kFrequency,
  kIsProcedural,
  kKeepForever,
};
constexpr std::size_t kNoField = 6;

// What tells the two records apart.
struct RecordShape {
  std::size_t field_count;     // 6 for TierInput, 4 for RetentionInput
  std::string_view expected;   // the whole record: "struct TierInput"
  std::string_view too_short;  // an array without every required element
};
inline constexpr RecordShape kTierInputShape = {6, texts::kTierInput, texts::kTierInputTooShort};
inline constexpr RecordShape kRetentionInputShape = {4, texts::kRetentionInput,
                                                     texts::kRetentionInputTooShort};

class RecordSlots {
 public:
  explicit RecordSlots(const RecordShape& shape) : shape_(&shape) {}

  const RecordShape& shape() const { return *shape_; }
  void clear() {
    present_ = 0;
    wrong_kind_ = 0;
  }

  // The field named exactly key, or kNoField: keys that name no field of
  // this record are skipped whatever they hold.
  std::size_t field_index(std::string_view key) const;
  // When the bytes at p (before end) are the name of one of this record's
  // fields followed by a double quote, that field and the name's length;
  // when they are the name of a field of the other record, kNoField and the
  // length; otherwise length 0.
  struct NameAt {
    std::size_t field;
    std::size_t length;
  };
  NameAt field_name_at(const char* p, const char* end) const;

  // Object form: the member for field; a repeated key keeps its last value.
  void set(std::size_t field, const FieldValue& value);
  // A number field given from outside the record's text. (Apart from set,
  // whose one caller, the record reader, has it inlined into the reader.)
  void set_number(std::size_t field, double value);
  // Array form: element index, in order. Returns the error of a wrongly
  // typed field element; elements past the last field are only counted.
  std::optional<EngineError> set_element(std::size_t index, const FieldValue& value);

  // Object form complete: the first wrongly typed member in key order, then
  // the first missing required field in declared order.
  std::optional<EngineError> finish_object() const;
  // The field that finish_object reports, if any, and whether it is
  // missing (else wrongly typed).
  struct ObjectFailure {
    std::size_t field;
    bool missing;
  };
  std::optional<ObjectFailure> object_failure() const;
  // Array form complete with length elements, none of them wrongly typed.
  std::optional<EngineError> finish_array(std::size_t length) const;

  // The record, once finish_object or finish_array found no error.
  TierInput tier_input() const;
  RetentionInput retention_input() const;

 private:
  struct Slot {
    FieldValue::Kind kind = FieldValue::Kind::null;
    bool flag = false;
    JsonNumber number;
    std::string text;  // only for a string, kept for the error message
  };

  double number(std::size_t field) const { return as_double(slots_[field].number); }
  static std::uint8_t bit(std::size_t field) { return static_cast<std::uint8_t>(1u << field); }
  bool flag(std::size_t field) const { return (present_ & bit(field)) != 0 && slots_[field].flag; }

  const RecordShape* shape_;
  // One bit per field (bit(field)): the fields met, and those whose last
  // value is of the wrong kind, so that finishing a record that decodes is
  // two tests rather than a pass over every field.
  std::uint8_t present_ = 0;
  std::uint8_t wrong_kind_ = 0;
  std::array<Slot, 6> slots_;
};

}  // namespace quillmarrow
