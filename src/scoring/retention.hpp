// The forgetting-curve retention score.
#pragma once

#include "scoring/records.hpp"

namespace quillmarrow {

struct RetentionScore {
  double retention = 0.0;  // within [0, 10]
  double stability = 0.0;  // at least 0.001
  double boost = 0.0;      // at least 1.0
};

RetentionScore compute_retention_score(const RetentionInput& input);

}  // namespace quillmarrow
