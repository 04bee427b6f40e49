#include "records/record_slots.hpp"

#include <cstring>

#include "contract/texts.hpp"
#include "records/record_errors.hpp"

namespace quillmarrow {

namespace {

// Object members are checked in ascending byte order of their keys.
constexpr std::array<std::size_t, 6> kKeyOrder = {kDaysSinceRecall, kFrequency,   kImportance,
                                                  kIsProcedural,    kKeepForever, kRetrievalCount};

// Whether key, of Length bytes, is the name of field. The comparison has a
// constant size, which compiles to a few word compares instead of a call to
// memcmp: this runs for every member of every record.
template <std::size_t Length>
bool names(std::string_view key, std::size_t field) {
  return std::memcmp(key.data(), kFieldNames[field].data(), Length) == 0;
}

// Whether the bytes at p, with room bytes before the text's end, are the
// name of field, Length bytes, and a double quote. The comparison has a
// constant size, which compiles to a few word compares instead of a call.
template <std::size_t Length>
bool quoted_name_at(const char* p, std::size_t room, std::size_t field) {
  return room > Length && std::memcmp(p, kFieldNames[field].data(), Length) == 0 &&
         p[Length] == '"';
}

bool is_flag(std::size_t field) {
  return field >= kIsProcedural;
}

// Any JSON number fits a numeric field, whatever its representation; only
// true and false fit a flag. Nothing else converts.
bool kind_fits(std::size_t field, FieldValue::Kind kind) {
  return kind == (is_flag(field) ? FieldValue::Kind::boolean : FieldValue::Kind::number);
}

std::string_view expectation(std::size_t field) {
  return is_flag(field) ? texts::kExpectFlag : texts::kExpectNumber;
}

}  // namespace

// The six names have six different lengths, so the length alone picks the
// only candidate and one comparison confirms it.
std::size_t RecordSlots::field_index(std::string_view key) const {
  std::size_t field;
  bool same;
  switch (key.size()) {
    case 17:
      same = names<17>(key, field = kDaysSinceRecall);
      break;
    case 15:
      same = names<15>(key, field = kRetrievalCount);
      break;
    case 10:
      same = names<10>(key, field = kImportance);
      break;
    case 9:
      same = names<9>(key, field = kFrequency);
      break;
    case 13:
      same = names<13>(key, field = kIsProcedural);
      break;
    case 12:
      same = names<12>(key, field = kKeepForever);
      break;
    default:
      return kNoField;
  }
  return same && field < shape_->field_count ? field : kNoField;
}

// The first byte picks the only candidate name (or two, for 'i'), and one
// comparison, closing quote included, confirms it.
RecordSlots::NameAt RecordSlots::field_name_at(const char* p, const char* end) const {
  const auto room = static_cast<std::size_t>(end - p);
  if (room == 0) return {kNoField, 0};
  std::size_t field;
  bool same;
  switch (*p) {
    case 'd':
      same = quoted_name_at<17>(p, room, field = kDaysSinceRecall);
      break;
    case 'r':
      same = quoted_name_at<15>(p, room, field = kRetrievalCount);
      break;
    case 'i':
      if (room > 1 && p[1] == 'm') {
        same = quoted_name_at<10>(p, room, field = kImportance);
      } else {
        same = quoted_name_at<13>(p, room, field = kIsProcedural);
      }
      break;
    case 'f':
      same = quoted_name_at<9>(p, room, field = kFrequency);
      break;
    case 'k':
      same = quoted_name_at<12>(p, room, field = kKeepForever);
      break;
    default:
      return {kNoField, 0};
  }
  if (!same) return {kNoField, 0};
  return {field < shape_->field_count ? field : kNoField, kFieldNames[field].size()};
}

void RecordSlots::set(std::size_t field, const FieldValue& value) {
  Slot& slot = slots_[field];
  slot.kind = value.kind;
  slot.flag = value.flag;
  copy_number(slot.number, value.number);
  if (value.kind == FieldValue::Kind::string) slot.text.assign(value.text);
  present_ |= bit(field);
  wrong_kind_ = static_cast<std::uint8_t>((wrong_kind_ & ~bit(field)) |
                                          (kind_fits(field, value.kind) ? 0 : bit(field)));
}

void RecordSlots::set_number(std::size_t field, double value) {
  Slot& slot = slots_[field];
  slot.kind = FieldValue::Kind::number;
  slot.number = JsonNumber::from_double(value);
  present_ |= bit(field);
  wrong_kind_ = static_cast<std::uint8_t>(wrong_kind_ & ~bit(field));
}

std::optional<EngineError> RecordSlots::set_element(std::size_t index, const FieldValue& value) {
  if (index >= shape_->field_count) return std::nullopt;
  if (!kind_fits(index, value.kind)) return invalid_type(value, expectation(index));
  set(index, value);
  return std::nullopt;
}

std::optional<EngineError> RecordSlots::finish_object() const {
  if (wrong_kind_ != 0) {
    for (std::size_t field : kKeyOrder) {
      if ((wrong_kind_ & bit(field)) != 0) {
        const Slot& slot = slots_[field];
        return invalid_type(FieldValue{slot.kind, slot.flag, slot.number, slot.text},
                            expectation(field));
      }
    }
  }
  constexpr std::uint8_t kRequired = 0b1111;  // the four numbers
  if ((present_ & kRequired) == kRequired) return std::nullopt;
  for (std::size_t field = kDaysSinceRecall; field <= kFrequency; ++field) {
    if ((present_ & bit(field)) == 0) return missing_field(kFieldNames[field]);
  }
  return std::nullopt;
}

// The same order as finish_object.
std::optional<RecordSlots::ObjectFailure> RecordSlots::object_failure() const {
  if (wrong_kind_ != 0) {
    for (std::size_t field : kKeyOrder) {
      if ((wrong_kind_ & bit(field)) != 0) return ObjectFailure{field, false};
    }
  }
  constexpr std::uint8_t kRequired = 0b1111;
  if ((present_ & kRequired) == kRequired) return std::nullopt;
  for (std::size_t field = kDaysSinceRecall; field <= kFrequency; ++field) {
    if ((present_ & bit(field)) == 0) return ObjectFailure{field, true};
  }
  return std::nullopt;
}

// Each required element is checked for its kind as it arrives, so a wrongly
// typed element is reported before a short or an over-long array.
std::optional<EngineError> RecordSlots::finish_array(std::size_t length) const {
  if (length <= kFrequency) return invalid_length(length, shape_->too_short);
  if (length > shape_->field_count) return invalid_length(length, texts::kExpectFewer);
  return std::nullopt;
}

TierInput RecordSlots::tier_input() const {
  return TierInput{number(kDaysSinceRecall), number(kRetrievalCount), number(kImportance),
                   number(kFrequency),       flag(kIsProcedural),     flag(kKeepForever)};
}

RetentionInput RecordSlots::retention_input() const {
  return RetentionInput{number(kDaysSinceRecall), number(kRetrievalCount), number(kImportance),
                        number(kFrequency)};
}

}  // namespace quillmarrow
