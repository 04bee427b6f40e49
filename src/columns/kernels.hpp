// Scoring and tiering of many items at once, one row per item, each row
// through the very functions the commands use (compute_retention_score and
// classify_tier), so every answer is bit for bit the one a command gives.
#pragma once

#include <cstddef>
#include <optional>

#include "columns/column.hpp"

namespace quillmarrow {

struct ScoreColumns {
  Column days_since_recall;
  Column retrieval_count;
  Column importance;
  Column frequency;
};

struct TierColumns {
  Column days_since_recall;
  Column retrieval_count;
  Column importance;
  Column frequency;
  std::optional<Column> is_procedural;  // absent: false on every row
  std::optional<Column> keep_forever;   // absent: false on every row
};

// Caller-owned output arrays, each of `length` elements.
struct ScoreOutputs {
  double* retention = nullptr;
  double* stability = nullptr;
  double* boost = nullptr;
  std::size_t length = 0;
};

// Tier and action codes are the values of the Tier and Action enumerations.
struct TierOutputs {
  double* retention = nullptr;
  unsigned char* tier = nullptr;
  unsigned char* action = nullptr;
  std::size_t length = 0;
};

// Checks the columns (types, equal lengths matching the outputs, finite
// numbers, flags 0 or 1) and fills the outputs. On an error the outputs hold
// unspecified values and must be discarded. When several columns are bad,
// the error names the first in parameter order, at its first bad row.
//
// The rows are shared out over `threads` threads (at most one per block of
// kBlockRows rows; 0 counts as 1), the calling thread among them. Outputs and
// errors are the same, bit for bit, for every thread count.
std::optional<ColumnError> score_columns(const ScoreColumns& columns, const ScoreOutputs& out,
                                         std::size_t threads = 1);
std::optional<ColumnError> tier_columns(const TierColumns& columns, const TierOutputs& out,
                                        std::size_t threads = 1);

}  // namespace quillmarrow
