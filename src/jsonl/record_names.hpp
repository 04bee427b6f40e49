// How the object records of an export name their fields: the member that
// holds each field, and optionally a member of recall times from which
// days_since_recall is worked out instead of being read. Array records keep
// their fields by position whatever the names.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "records/engine_error.hpp"
#include "records/field_value.hpp"
#include "records/record_slots.hpp"
#include "times/recall_column.hpp"

namespace quillmarrow {

struct JsonlNames {
  // The member of each field, by RecordField; empty: the field's own name.
  // When two fields name the same member, the first of them takes it.
  std::array<std::string_view, 6> members{};
  // The member of recall times; empty: none, days_since_recall is read.
  // When given, no member is read as days_since_recall: the days are those
  // from the recall time to recall.now by days_since_recall's rule.
  std::string_view recalled_at;
  // now and max_skew finite, max_skew 0 or more.
  RecallOptions recall;

  // Whether records are read otherwise than by the fields' own names.
  bool renamed() const;
  // The member that holds field.
  std::string_view member(std::size_t field) const;
  // The field that the member named key holds, or kNoField.
  std::size_t field_of(std::string_view key) const;
};

// "member 'last_recalled_at'": how messages name the member of recall times.
std::string recall_subject(const JsonlNames& names);

// The days of one recall time (the value of the recalled_at member), or the
// message naming the member (subject, from recall_subject), the value and
// the fix.
struct RecallDays {
  double days = 0.0;
  std::optional<std::string> error;
};
RecallDays recall_days_of(const FieldValue& value, const JsonlNames& names,
                          std::string_view subject);

// "missing member 'last_recalled_at' (the recall time)"
std::string missing_recall_message(const JsonlNames& names);

// A decoding error of an object record read under the names, naming the
// member when it is not the field's own name:
// "missing member 'imp' (field importance)",
// "member 'imp' (field importance): invalid type: ...". Otherwise the
// error's message as it is.
std::string named_record_message(EngineError error, const RecordSlots& slots,
                                 const JsonlNames& names);

}  // namespace quillmarrow
