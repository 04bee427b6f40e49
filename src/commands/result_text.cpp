#include "commands/result_text.hpp"

#include "json/writer.hpp"

namespace quillmarrow {

// Action and tier names are plain lower-case ASCII: nothing to escape.
void append_tier_decision(std::string& out, const TierDecision& decision) {
  out.append(R"({"action":")");
  out.append(action_name(decision.action));
  out.append(R"(","retention":)");
  append_double(out, decision.retention);
  out.append(R"(,"tier":")");
  out.append(tier_name(decision.tier()));
  out.append(R"("})");
}

void append_retention_score(std::string& out, const RetentionScore& score) {
  out.append(R"({"boost":)");
  append_double(out, score.boost);
  out.append(R"(,"retention":)");
  append_double(out, score.retention);
  out.append(R"(,"stability":)");
  append_double(out, score.stability);
  out.push_back('}');
}

}  // namespace quillmarrow
