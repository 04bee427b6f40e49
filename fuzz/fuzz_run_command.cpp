// Fuzz target for run_command. The first input byte picks the command name:
//   0 "score", 1 "tier", 2 "tier-batch", 3 "", 4 "Tier", 5 "tier_batch",
//   6 "score " (trailing blank), 7 a free name: the bytes up to the first
//   0xFF byte (which well-formed UTF-8 never holds), the payload after it.
// Name and payload are made well-formed UTF-8 first, as the Python boundary
// only ever hands over such text.
//
// Every answer is checked against the reference road
// (run_command_through_tree: parse, decode from the tree, score, write), which
// must give the same text or the same message. The tier chosen is checked
// against the decision chain, the retention against the "score" computation,
// and every text against UTF-8. Two calls with the same texts must give the
// same answer.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "commands/run_command.hpp"
#include "fuzz_support.hpp"
#include "json/error.hpp"
#include "reference/commands.hpp"
#include "reference/parse.hpp"
#include "reference/records.hpp"
#include "reference/value.hpp"
#include "results/result_text.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow::fuzz {
namespace {

std::string_view expected_action(const TierInput& in, double retention) {
  const double d = in.days_since_recall;
  const double r = in.retrieval_count;
  if (in.keep_forever) return "keep_forever_tag";
  if (d <= 7.0 && r > 0.0) return "inject_to_prompt";
  if (r >= 3.0 && in.is_procedural) return "keep_procedural";
  if (retention >= 0.8) return "long_term_semantic";
  if (d <= 30.0 && retention >= 0.65) return "spaced_repetition";
  if (d >= 180.0 || retention < 0.4) return "archive_on_demand";
  return "maintain_warm";
}

std::string_view tier_of_action(std::string_view action) {
  if (action == "inject_to_prompt") return "hot";
  if (action == "keep_procedural") return "warm_procedural";
  if (action == "long_term_semantic" || action == "keep_forever_tag") return "warm_semantic";
  if (action == "spaced_repetition" || action == "maintain_warm") return "warm_episodic";
  return "cold";
}

// Checks the decision of one item that decodes against the decision chain
// and the "score" computation.
void check_tier_item(const JsonValue& item) {
  auto decoded = decode_tier_input(item);
  if (!std::holds_alternative<TierInput>(decoded)) return;
  const TierInput& in = std::get<TierInput>(decoded);
  QM_FUZZ_CHECK(std::isfinite(in.days_since_recall) && std::isfinite(in.retrieval_count) &&
                    std::isfinite(in.importance) && std::isfinite(in.frequency),
                "non-finite field");
  const TierDecision decision = classify_tier(in);
  const double score = compute_retention_score(
                           {in.days_since_recall, in.retrieval_count, in.importance, in.frequency})
                           .retention;
  const double retention = in.keep_forever ? 1.0 : score;
  QM_FUZZ_CHECK(ulp_distance(decision.retention, retention) == 0, "tier retention != score");
  const std::string_view action = expected_action(in, retention);
  QM_FUZZ_CHECK(action_name(decision.action) == action, action_name(decision.action));
  QM_FUZZ_CHECK(tier_name(decision.tier()) == tier_of_action(action), tier_name(decision.tier()));
}

void check_score(const JsonValue& payload) {
  auto decoded = decode_retention_input(payload);
  if (!std::holds_alternative<RetentionInput>(decoded)) return;
  const RetentionScore s = compute_retention_score(std::get<RetentionInput>(decoded));
  QM_FUZZ_CHECK(s.retention >= 0.0 && s.retention <= 10.0, "retention bounds");
  QM_FUZZ_CHECK(s.stability >= 0.001 && std::isfinite(s.stability), "stability bounds");
  QM_FUZZ_CHECK(s.boost >= 1.0 && std::isfinite(s.boost), "boost bounds");
}

// The scoring invariants on every record of the payload that decodes.
void check_scoring(std::string_view name, std::string_view payload) {
  ParseResult parsed = parse_json(payload);
  if (!std::holds_alternative<JsonValue>(parsed)) return;
  const JsonValue& value = std::get<JsonValue>(parsed);
  if (name == "tier") check_tier_item(value);
  if (name == "score") check_score(value);
  if (name == "tier-batch") {
    const JsonObject* o = value.as_object();
    const JsonValue* items = o != nullptr ? o->find("items") : nullptr;
    if (items != nullptr && items->as_array() != nullptr) {
      for (const JsonValue& item : *items->as_array()) check_tier_item(item);
    }
  }
}

void check(std::string_view name, std::string_view payload) {
  const CommandResult answer = run_command(name, payload);
  const CommandResult again = run_command(name, payload);
  const bool ok = std::holds_alternative<std::string>(answer);
  const std::string& text =
      ok ? std::get<std::string>(answer) : std::get<EngineError>(answer).message;
  const std::string& text_again = std::holds_alternative<std::string>(again)
                                      ? std::get<std::string>(again)
                                      : std::get<EngineError>(again).message;
  QM_FUZZ_CHECK(again.index() == answer.index() && text_again == text, payload);
  QM_FUZZ_CHECK(is_valid_utf8(text), text);

  // The reference road must answer the same text, or the same message.
  const CommandResult expected = run_command_through_tree(name, payload);
  QM_FUZZ_CHECK(ok == std::holds_alternative<std::string>(expected), text);
  QM_FUZZ_CHECK(
      text == (ok ? std::get<std::string>(expected) : std::get<EngineError>(expected).message),
      text);
  check_scoring(name, payload);
  if (ok) {
    QM_FUZZ_CHECK(text.rfind(kEnvelopeHead, 0) == 0, text);
    QM_FUZZ_CHECK(std::holds_alternative<JsonValue>(parse_json(text)), text);
  }
}

}  // namespace
}  // namespace quillmarrow::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillmarrow::fuzz;
  if (size == 0) return 0;
  static constexpr std::string_view kNames[] = {"score", "tier",       "tier-batch", "",
                                                "Tier",  "tier_batch", "score "};
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const unsigned selector = data[0] % 8;
  if (selector < 7) {
    check(kNames[selector], repair_utf8(rest));
    return 0;
  }
  const std::size_t cut = rest.find('\xFF');
  const std::string name = repair_utf8(rest.substr(0, cut));
  const std::string payload =
      cut == std::string_view::npos ? std::string() : repair_utf8(rest.substr(cut + 1));
  check(name, payload);
  return 0;
}
