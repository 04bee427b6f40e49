// The records the scoring functions take: one remembered item's numbers and
// flags. The command layer decodes them from JSON; the column functions read
// them from arrays.
#pragma once

namespace quillmarrow {

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
