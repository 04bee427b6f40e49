// The records the scoring functions take: one remembered item's numbers and
// flags. The command layer decodes them from JSON; the column functions read
// them from arrays.
#pragma once

#include <array>
#include <string_view>

namespace quillmarrow {

// The fields' names in declared order: the members of a record in JSON and
// the columns the column functions read. A RetentionInput has the first four.
// Each is a string literal, so data() is also a NUL-terminated C string.
inline constexpr std::array<std::string_view, 6> kFieldNames = {
    "days_since_recall", "retrieval_count", "importance",
    "frequency",         "is_procedural",   "keep_forever"};

struct TierInput {
  double days_since_recall = 0.0;
  double retrieval_count = 0.0;
  double importance = 0.0;
  double frequency = 0.0;
  bool is_procedural = false;
  bool keep_forever = false;
};

struct RetentionInput {
  double days_since_recall = 0.0;
  double retrieval_count = 0.0;
  double importance = 0.0;
  double frequency = 0.0;
};

}  // namespace quillmarrow
