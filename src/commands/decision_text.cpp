#include "commands/decision_text.hpp"

#include "json/writer.hpp"

namespace quillmarrow {

// Action and tier names are plain lower-case ASCII: nothing to escape. The
// retention always lies in [0, 10], so it is a finite double.
void append_tier_decision(std::string& out, const TierDecision& decision) {
  out.append(R"({"action":")");
  out.append(decision.action);
  out.append(R"(","retention":)");
  append_double(out, decision.retention);
  out.append(R"(,"tier":")");
  out.append(tier_name(decision.tier));
  out.append(R"("})");
}

}  // namespace quillmarrow
