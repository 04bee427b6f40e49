// Fuzz target for the tier-jsonl chunk kernel. The input is a JSON Lines
// text of arbitrary bytes; the first byte picks the options (ids on or off,
// the id field, stop at or set aside bad lines, lines per call, where the
// text is cut into calls).
//
// Oracle: every line is checked against run_command("tier", line) for that
// line alone (after the UTF-8 check, which the kernel does first): the same
// decision text, or the same message, at the same line number. The chunked
// calls must together give what one call over the whole text gives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "commands/run_command.hpp"
#include "fuzz_support.hpp"
#include "jsonl/jsonl_chunk.hpp"
#include "jsonl/utf8_check.hpp"
#include "reference/parse.hpp"
#include "results/result_text.hpp"

namespace quillmarrow::fuzz {
namespace {

bool blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// The decision text the kernel must write for one good line without ids, or
// the message of a bad one; ok tells which.
std::string expected_for(std::string_view line, bool& ok) {
  if (const auto problem = find_utf8_problem(line)) {
    QM_FUZZ_CHECK(!is_valid_utf8(line), line);
    ok = false;
    return utf8_problem_message(*problem);
  }
  QM_FUZZ_CHECK(is_valid_utf8(line), line);
  const CommandResult result = run_command("tier", line);
  if (const auto* error = std::get_if<EngineError>(&result)) {
    ok = false;
    return error->message;
  }
  ok = true;
  const std::string& text = std::get<std::string>(result);
  // The result inside the success envelope.
  return text.substr(kEnvelopeHead.size(),
                     text.size() - kEnvelopeHead.size() - kEnvelopeTail.size());
}

// Removes the "id" member the kernel adds after "action", if any.
std::string without_id(std::string_view decision) {
  const std::string_view head = R"({"action":")";
  QM_FUZZ_CHECK(decision.substr(0, head.size()) == head, decision);
  const std::size_t action_end = decision.find('"', head.size());
  const std::string_view rest = decision.substr(action_end + 1);
  if (rest.substr(0, 6) != R"(,"id":)") return std::string(decision);
  const std::size_t retention = decision.rfind(R"(,"retention":)");
  QM_FUZZ_CHECK(retention != std::string_view::npos, decision);
  return std::string(decision.substr(0, action_end + 1)) + std::string(decision.substr(retention));
}

void check(std::string_view data, unsigned selector) {
  JsonlOptions options;
  options.with_id = (selector & 1) != 0;
  options.id_field = (selector & 2) != 0 ? "id" : "importance";
  options.set_aside_bad_lines = (selector & 4) != 0;
  const JsonlChunk whole = tier_jsonl_chunk(data, true, 1, options);

  // Walk the lines as the oracle sees them.
  std::size_t pos = 0;
  std::uint64_t number = 1;
  std::size_t decision_pos = 0;
  std::uint64_t records = 0;
  std::uint64_t bad = 0;
  while (pos < data.size()) {
    std::size_t end = data.find('\n', pos);
    if (end == std::string_view::npos) end = data.size();
    const std::string_view line = data.substr(pos, end - pos);
    if (!blank(line)) {
      bool ok = false;
      const std::string expected = expected_for(line, ok);
      if (ok) {
        const std::size_t feed = whole.decisions.find('\n', decision_pos);
        QM_FUZZ_CHECK(feed != std::string::npos, line);
        const std::string_view got =
            std::string_view(whole.decisions).substr(decision_pos, feed - decision_pos);
        QM_FUZZ_CHECK(without_id(got) == expected, got);
        QM_FUZZ_CHECK(is_valid_utf8(got), got);
        QM_FUZZ_CHECK(std::holds_alternative<JsonValue>(parse_json(got)), got);
        decision_pos = feed + 1;
        ++records;
      } else if (!options.set_aside_bad_lines) {
        QM_FUZZ_CHECK(whole.stop.has_value(), line);
        QM_FUZZ_CHECK(whole.stop->line == number, line);
        QM_FUZZ_CHECK(whole.stop->message == expected, whole.stop->message);
        QM_FUZZ_CHECK(whole.consumed == pos, line);
        break;
      } else {
        ++bad;
      }
    }
    pos = end + 1;
    ++number;
  }
  QM_FUZZ_CHECK(decision_pos == whole.decisions.size(), whole.decisions);
  QM_FUZZ_CHECK(whole.records == records, data);
  if (!whole.stop) {
    QM_FUZZ_CHECK(whole.consumed == data.size(), data);
    QM_FUZZ_CHECK(whole.bad_lines == bad, data);
    QM_FUZZ_CHECK(is_valid_utf8(whole.errors), whole.errors);
    // Every set-aside line is one JSON object per line.
    std::size_t from = 0;
    while (from < whole.errors.size()) {
      const std::size_t feed = whole.errors.find('\n', from);
      QM_FUZZ_CHECK(feed != std::string::npos, whole.errors);
      const std::string_view one = std::string_view(whole.errors).substr(from, feed - from);
      QM_FUZZ_CHECK(std::holds_alternative<JsonValue>(parse_json(one)), one);
      from = feed + 1;
    }
  }

  // The same text fed in calls of at most a few lines and cut at a few
  // places gives the same output.
  const std::size_t max_lines = 1 + (selector >> 3) % 4;
  const std::size_t step = 1 + (selector >> 5) * 7;
  std::string decisions;
  std::string errors;
  std::size_t start = 0;
  std::size_t fed = 0;
  std::uint64_t line = 1;
  options.max_lines = max_lines;
  for (;;) {
    fed = std::min(data.size(), fed + step);
    const bool at_end = fed == data.size();
    const JsonlChunk part =
        tier_jsonl_chunk(data.substr(start, fed - start), at_end, line, options);
    decisions += part.decisions;
    errors += part.errors;
    start += part.consumed;
    line += part.lines;
    if (part.stop) {
      QM_FUZZ_CHECK(whole.stop && part.stop->line == whole.stop->line, data);
      break;
    }
    if (at_end && start == data.size()) break;
  }
  QM_FUZZ_CHECK(decisions == whole.decisions, decisions);
  QM_FUZZ_CHECK(errors == whole.errors, errors);
}

}  // namespace
}  // namespace quillmarrow::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  quillmarrow::fuzz::check(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1),
                           data[0]);
  return 0;
}
