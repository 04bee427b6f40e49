// quillmarrow_retention, quillmarrow_score and quillmarrow_tier: one item's
// numbers through the engine's scoring functions, so each answer is bit for
// bit the one the "score" and "tier" commands give for the same doubles.
//
// Each entry reads its arguments, calls the noexcept C++ work, and only
// then, back in plain C territory, reports an error or builds the result.
#include "report.hpp"
#include "result_rows.hpp"
#include "scalar/finite.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"
#include "server.hpp"

namespace {

using quillmarrow::RetentionInput;
using quillmarrow::ScalarMessage;

RetentionInput record_arguments(FunctionCallInfo fcinfo) noexcept {
  return RetentionInput{PG_GETARG_FLOAT8(0), PG_GETARG_FLOAT8(1), PG_GETARG_FLOAT8(2),
                        PG_GETARG_FLOAT8(3)};
}

}  // namespace

extern "C" {

PG_FUNCTION_INFO_V1(quillmarrow_retention);
PG_FUNCTION_INFO_V1(quillmarrow_score);
PG_FUNCTION_INFO_V1(quillmarrow_tier);

Datum quillmarrow_retention(PG_FUNCTION_ARGS) {
  const RetentionInput input = record_arguments(fcinfo);
  ScalarMessage message;
  if (!quillmarrow::check_record_numbers("quillmarrow_retention", input, message)) {
    QM_REPORT_INVALID_ARGUMENT(message);
  }
  PG_RETURN_FLOAT8(quillmarrow::compute_retention_score(input).retention);
}

Datum quillmarrow_score(PG_FUNCTION_ARGS) {
  const RetentionInput input = record_arguments(fcinfo);
  ScalarMessage message;
  if (!quillmarrow::check_record_numbers("quillmarrow_score", input, message)) {
    QM_REPORT_INVALID_ARGUMENT(message);
  }
  return quillmarrow::score_row(fcinfo, quillmarrow::compute_retention_score(input));
}

Datum quillmarrow_tier(PG_FUNCTION_ARGS) {
  const RetentionInput numbers = record_arguments(fcinfo);
  ScalarMessage message;
  if (!quillmarrow::check_record_numbers("quillmarrow_tier", numbers, message)) {
    QM_REPORT_INVALID_ARGUMENT(message);
  }
  const quillmarrow::TierInput input{numbers.days_since_recall, numbers.retrieval_count,
                                     numbers.importance,        numbers.frequency,
                                     PG_GETARG_BOOL(4),         PG_GETARG_BOOL(5)};
  return quillmarrow::tier_row(fcinfo, quillmarrow::classify_tier(input));
}

}  // extern "C"
