// Fuzz target for the tier-jsonl chunk kernel. The input is a JSON Lines
// text of arbitrary bytes; the first byte picks the options (ids on or off,
// the id field, stop at or set aside bad lines, lines per call, where the
// text is cut into calls), the second how records are read (the longest
// line, importance read from the member "imp", recall times from the member
// "t" in one of the four units, the clock skew allowed).
//
// Oracle: every line is checked against run_command("tier", line) for that
// line alone (after the UTF-8 check, which the kernel does first): the same
// decision text, or the same message, at the same line number. A line longer
// than the limit must be bad with the limit's message. Under member names
// or recall times, a line is checked against the reference road instead: its
// value tree, the members renamed to the fields and the recall time turned
// into days by the times layer, decoded by the reference decoder, gives the
// same decision, or is bad as well. The chunked calls must together give
// what one call over the whole text gives.
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
#include "reference/records.hpp"
#include "results/result_text.hpp"
#include "scoring/records.hpp"

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

// Under member names or recall times: the decision text of a good line, or
// ok false. The recall time's message, when it makes the line bad, is set
// too (other messages are not compared).
std::string expected_named(std::string_view line, const JsonlNames& names, bool& ok,
                           std::string& recall_message) {
  ok = false;
  if (find_utf8_problem(line)) return {};
  const ParseResult parsed = parse_json(line);
  const JsonValue* value = std::get_if<JsonValue>(&parsed);
  if (value == nullptr) return {};
  const JsonObject* object = value->as_object();
  if (object == nullptr) {
    // Scalars and arrays decode as "tier" decodes them.
    const CommandResult result = run_command("tier", line);
    if (std::holds_alternative<EngineError>(result)) return {};
    ok = true;
    const std::string& text = std::get<std::string>(result);
    return text.substr(kEnvelopeHead.size(),
                       text.size() - kEnvelopeHead.size() - kEnvelopeTail.size());
  }
  JsonObject renamed;
  const bool recalling = !names.recalled_at.empty();
  for (std::size_t field = recalling ? 1 : 0; field < kFieldNames.size(); ++field) {
    if (const JsonValue* member = object->find(names.member(field))) {
      renamed.insert(std::string(kFieldNames[field]), *member);
    }
  }
  if (recalling) {
    const JsonValue* time = object->find(names.recalled_at);
    if (time == nullptr) {
      recall_message = "missing member '" + std::string(names.recalled_at) + "' (the recall time)";
      return {};
    }
    RecallValue recall;
    if (const JsonNumber* number = time->as_number()) {
      recall.number = as_double(*number);
    } else if (const std::string* text = time->as_string()) {
      recall.is_text = true;
      recall.text = *text;
    } else {
      return {};
    }
    double days = 0.0;
    if (auto error = days_since_value("member '" + std::string(names.recalled_at) + "'", recall,
                                      names.recall, days)) {
      recall_message = error->message;
      return {};
    }
    renamed.insert("days_since_recall", JsonValue(JsonNumber::from_double(days)));
  }
  const auto decoded = decode_tier_input(JsonValue(std::move(renamed)));
  const TierInput* input = std::get_if<TierInput>(&decoded);
  if (input == nullptr) return {};
  ok = true;
  std::string text;
  append_tier_decision(text, classify_tier(*input));
  return text;
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

// The second option byte: bits 0-1 the longest line (none, 8, 40 or 200
// bytes), bit 2 importance read from "imp", bit 3 recall times from "t",
// bits 4-5 their unit, bit 6 no clock skew allowed (else 300 seconds).
void read_names(unsigned selector, JsonlOptions& options) {
  constexpr std::size_t limits[] = {SIZE_MAX, 8, 40, 200};
  options.max_line_bytes = limits[selector & 3];
  if ((selector & 4) != 0) options.names.members[kImportance] = "imp";
  if ((selector & 8) != 0) {
    options.names.recalled_at = "t";
    options.names.recall = RecallOptions{1'750'000'000.0, (selector & 64) != 0 ? 0.0 : 300.0,
                                         static_cast<TimeUnit>((selector >> 4) & 3)};
  }
}

void check(std::string_view data, unsigned selector, unsigned naming) {
  JsonlOptions options;
  options.with_id = (selector & 1) != 0;
  options.id_field = (selector & 2) != 0 ? "id" : "importance";
  options.set_aside_bad_lines = (selector & 4) != 0;
  read_names(naming, options);
  const bool renamed = options.names.renamed();
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
    const bool too_long = line.size() > options.max_line_bytes;
    if (too_long || !blank(line)) {
      // The decision of a good line, or the message of a bad one when it is
      // known: always, but under names only for a line that is not JSON
      // (the message "tier" gives) or a bad recall time.
      bool ok = false;
      bool message_known = true;
      std::string expected;
      if (too_long) {
        expected = too_long_message(options.max_line_bytes);
      } else if (!renamed) {
        expected = expected_for(line, ok);
      } else {
        std::string recall_message;
        expected = expected_named(line, options.names, ok, recall_message);
        if (!ok && !recall_message.empty()) {
          expected = recall_message;
        } else if (!ok && (find_utf8_problem(line) ||
                           std::holds_alternative<JsonError>(parse_json(line)))) {
          bool plain_ok = false;
          expected = expected_for(line, plain_ok);
        } else if (!ok) {
          message_known = false;
        }
      }
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
        if (message_known) QM_FUZZ_CHECK(whole.stop->message == expected, whole.stop->message);
        QM_FUZZ_CHECK(is_valid_utf8(whole.stop->message), whole.stop->message);
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
  if (size < 2) return 0;
  quillmarrow::fuzz::check(std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2),
                           data[0], data[1]);
  return 0;
}
