// The composite results: quillmarrow_score_result (retention, stability,
// boost) and quillmarrow_tier_decision (tier, action, retention).
//
// A result row is a copy of a prepared row with its numbers written in: on
// a call site's first row, one row per action (tier and action fixed, only
// the retention open) and one score row are formed by the server's own
// tuple code and kept with the call site, so every further row costs one
// small allocation and a copy rather than forming a tuple. These functions
// may raise server errors (out of memory): every local is trivially
// destructible.
#pragma once

#include "scoring/retention.hpp"
#include "scoring/tier.hpp"
#include "server.hpp"

namespace quillmarrow {

Datum score_row(FunctionCallInfo fcinfo, const RetentionScore& score);
Datum tier_row(FunctionCallInfo fcinfo, const TierDecision& decision);

}  // namespace quillmarrow
