// The compact JSON texts of the commands' results, written straight into an
// output buffer, and the success envelope around them: members in key order,
// doubles in their shortest form, no blanks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "scoring/retention.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {

// The success envelope around a result: head, the result's text, tail. The
// only place the envelope is spelled.
inline constexpr std::string_view kEnvelopeHead = R"({"ok":true,"result":)";
inline constexpr std::string_view kEnvelopeTail = "}";

// The texts written at p, which has kResultTextRoom bytes; each returns the
// end of what it wrote. For a result assembled in a local buffer.
inline constexpr std::size_t kResultTextRoom = 256;
// {"action":...,"retention":...,"tier":...}
char* write_tier_decision(char* p, const TierDecision& decision);
// {"boost":...,"retention":...,"stability":...}
char* write_retention_score(char* p, const RetentionScore& score);

// write_tier_decision's text appended to out.
void append_tier_decision(std::string& out, const TierDecision& decision);

}  // namespace quillmarrow
