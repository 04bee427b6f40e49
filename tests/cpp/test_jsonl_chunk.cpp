// tier-jsonl's chunk kernel: each line decoded alone must answer exactly as
// run_command("tier", line); ids are copied compactly; bad lines stop the
// chunk or are set aside with their numbers; chunk boundaries never matter.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <variant>
#include <vector>

#include "commands/run_command.hpp"
#include "jsonl/jsonl_chunk.hpp"
#include "jsonl/utf8_check.hpp"
#include "results/result_text.hpp"
#include "scalar/days_since.hpp"

namespace quillmarrow {
namespace {

constexpr std::string_view kTierHead = R"({"ok":true,"result":)";

// What "tier" says about one line: the decision object's text or the message.
std::string tier_alone(std::string_view line) {
  const CommandResult result = run_command("tier", line);
  if (const auto* error = std::get_if<EngineError>(&result)) return "error: " + error->message;
  const std::string& text = std::get<std::string>(result);
  return text.substr(kTierHead.size(), text.size() - kTierHead.size() - 1);
}

JsonlOptions no_ids() {
  JsonlOptions options;
  options.with_id = false;
  return options;
}

JsonlOptions set_aside(JsonlOptions options = {}) {
  options.set_aside_bad_lines = true;
  return options;
}

// A bad line stops the chunk with the message "tier" gives for it alone.
TEST(JsonlChunk, BadLineMessagesAreThoseOfTierAlone) {
  const std::vector<std::string> lines = {
      R"({"days_since_recall": 1,})",
      R"({"days_since_recall": 1, "retrieval_count": 2, "importance": 0.5})",
      R"({"days_since_recall": "1", "retrieval_count": 2, "importance": 0.5, "frequency": 1})",
      R"({"days_since_recall": 1, "retrieval_count": 2, "importance": 0.5, "frequency": 1, "keep_forever": 1})",
      R"([1, 2])",
      R"([1, 2, 3, 4, true, false, 7])",
      R"([1, 2, 3, null])",
      R"({})",
      R"([])",
      R"(5)",
      R"("text")",
      R"(null)",
      R"({"x":1}],[{"x":1})",
      R"({"x":1}],[{)",
      R"([1,2,3,4]] , [[1,2,3,4])",
      R"({"id": "a", "days_since_recall": [1], "retrieval_count": 2, "importance": 0.5, "frequency": 1})",
      R"({"a": "\q"})",
      R"({"a": "\ud83d"})",
      "[1,2,3,4] x",
      "\xEF\xBB\xBF[1,2,3,4]",
      "{\"a\":\"\t\"}",
      std::string(128, '['),
      "1e400",
      "{\"a\":1",
  };
  for (const std::string& line : lines) {
    const std::string expected = tier_alone(line);
    ASSERT_EQ(expected.rfind("error: ", 0), 0u) << line;
    const std::string data = "[1,2,3,4]\n" + line + "\n[1,2,3,4]\n";
    const JsonlChunk chunk = tier_jsonl_chunk(data, true, 1, {});
    ASSERT_TRUE(chunk.stop.has_value()) << line;
    EXPECT_EQ(chunk.stop->line, 2u) << line;
    EXPECT_EQ("error: " + chunk.stop->message, expected) << line;
    EXPECT_EQ(chunk.records, 1u);
    EXPECT_EQ(chunk.lines, 1u);
    EXPECT_EQ(chunk.consumed, 10u);
  }
}

// Without ids, each decision is the text "tier" gives for its line alone.
TEST(JsonlChunk, DecisionsAreThoseOfTierAlone) {
  const std::vector<std::string> lines = {
      "[8, 20, 0.5, 0.5]",
      "[200, 1, 0.9, 0.9, false, true]",
      R"({"days_since_recall": 10, "retrieval_count": 5, "importance": 0.2, "frequency": 0.1, "is_procedural": true})",
      R"({"days_since_recall": 1, "retrieval_count": 2, "importance": 0.5, "frequency": 0.5, "nested": {"x": [[{}]]}})",
      "  [45, 1000, 0, 0]\r",
      "[-3, 18446744073709551615, 2, -1]",
  };
  std::string data;
  std::string expected;
  for (const std::string& line : lines) {
    data += line + "\n";
    expected += tier_alone(line) + "\n";
  }
  const JsonlChunk chunk = tier_jsonl_chunk(data, true, 1, no_ids());
  EXPECT_FALSE(chunk.stop.has_value());
  EXPECT_EQ(chunk.decisions, expected);
  EXPECT_EQ(chunk.records, lines.size());
  EXPECT_EQ(chunk.consumed, data.size());
}

const std::string kFields =
    R"("days_since_recall": 2, "retrieval_count": 3, "importance": 0.5, "frequency": 0.2)";
const std::string kDecision =
    R"({"action":"inject_to_prompt","retention":0.6025397252785328,"tier":"hot"})";

std::string with_id_text(std::string_view id) {
  return R"({"action":"inject_to_prompt","id":)" + std::string(id) +
         R"(,"retention":0.6025397252785328,"tier":"hot"})";
}

struct IdCase {
  std::string members;  // written before the record's fields
  std::string id;       // the id's text in the decision; empty: no id
};

TEST(JsonlChunk, IdsAreCopiedCompactlyByTheWriter) {
  const std::vector<IdCase> cases = {
      {R"("id": "mem-000001", )", R"("mem-000001")"},
      {R"("id": "", )", R"("")"},
      {R"("id": "a\"b\\c\/d\n\t\u0001\u00e9\ud83d\ude00", )",
       "\"a\\\"b\\\\c/d\\n\\t\\u0001\xC3\xA9\xF0\x9F\x98\x80\""},
      {"\"id\": \"\xC3\xA9t\xC3\xA9\", ", "\"\xC3\xA9t\xC3\xA9\""},
      {R"("id": "\b\f\r\u001f\u007f\u0000", )", "\"\\b\\f\\r\\u001f\x7f\\u0000\""},
      {R"("id": 17, )", "17"},
      {R"("id": -17, )", "-17"},
      {R"("id": 18446744073709551615, )", "18446744073709551615"},
      {R"("id": 18446744073709551616, )", "1.8446744073709552e+19"},
      {R"("id": 1.0, )", "1.0"},
      {R"("id": 1e2, )", "100.0"},
      {R"("id": 1.5E-7, )", "1.5e-7"},
      {R"("id": -0, )", "-0.0"},
      {R"("id": true, )", "true"},
      {R"("id": false, )", "false"},
      {R"("id": null, )", "null"},
      {R"("id": [ 1, "a", [ ], { } ], )", R"([1,"a",[],{}])"},
      {R"("id": { "b": 1, "a": { "y": [2.50], "x": null }, "b": 3 }, )",
       R"({"a":{"x":null,"y":[2.5]},"b":3})"},
      {R"("id": "first", "id": "last", )", R"("last")"},
      {R"("id": {"k": 1}, "id": 2, )", "2"},
      {R"("\u0069d": "escaped key", )", R"("escaped key")"},
      {R"("ID": "other case", "id ": "blank", "nested": {"id": "inner"}, )", ""},
      {"", ""},
  };
  for (const IdCase& c : cases) {
    const std::string line = "{" + c.members + kFields + "}";
    const JsonlChunk chunk = tier_jsonl_chunk(line, true, 1, {});
    ASSERT_FALSE(chunk.stop.has_value()) << line << ": " << chunk.stop->message;
    EXPECT_EQ(chunk.decisions, (c.id.empty() ? kDecision : with_id_text(c.id)) + "\n") << line;
    // With ids off, the same line gives the plain decision of "tier".
    EXPECT_EQ(tier_jsonl_chunk(line, true, 1, no_ids()).decisions, tier_alone(line) + "\n");
  }
}

TEST(JsonlChunk, IdFieldIsChosenByName) {
  const std::string line = R"({"id": 1, "key": "k-1", )" + kFields + "}";
  JsonlOptions options;
  options.id_field = "key";
  EXPECT_EQ(tier_jsonl_chunk(line, true, 1, options).decisions, with_id_text(R"("k-1")") + "\n");
  // A record field may serve as the id too.
  options.id_field = "importance";
  EXPECT_EQ(tier_jsonl_chunk(line, true, 1, options).decisions, with_id_text("0.5") + "\n");
}

TEST(JsonlChunk, ArrayRecordsHaveNoId) {
  const JsonlChunk chunk = tier_jsonl_chunk("[2, 3, 0.5, 0.2]\n", true, 1, {});
  EXPECT_EQ(chunk.decisions, kDecision + "\n");
}

// Line numbers count every line, blank ones included, from first_line on.
TEST(JsonlChunk, LinesAreNumberedOverAllLines) {
  const std::string data = "\n  \n[1,2,3,4]\n\t\r\n\n[1,2]\n[1,2,3,4]\n";
  const JsonlChunk stopped = tier_jsonl_chunk(data, true, 101, {});
  ASSERT_TRUE(stopped.stop.has_value());
  EXPECT_EQ(stopped.stop->line, 106u);
  EXPECT_EQ(stopped.lines, 5u);
  EXPECT_EQ(stopped.records, 1u);

  const JsonlChunk kept = tier_jsonl_chunk(data, true, 101, set_aside());
  EXPECT_FALSE(kept.stop.has_value());
  EXPECT_EQ(kept.lines, 7u);
  EXPECT_EQ(kept.records, 2u);
  EXPECT_EQ(kept.bad_lines, 1u);
  EXPECT_EQ(
      kept.errors,
      R"({"line":106,"message":"invalid length 2, expected struct TierInput with 6 elements"})"
      "\n");
}

TEST(JsonlChunk, SetAsideLinesCarryTheirIdWhenTheRecordHasOne) {
  const std::string data = R"({"id": "m-1", "days_since_recall": 1})"
                           "\n"
                           R"({"id": "m-2", )" +
                           kFields +
                           "}\n"
                           R"({"id": "m-3", "days_since_recall": 1,})"
                           "\n"
                           R"([1, "x", 3, 4])"
                           "\n"
                           "{\"id\": \"\xFF\"}\n"
                           R"({"id": {"a": [1]}, "frequency": "hi\"there"})"
                           "\n";
  const JsonlChunk chunk = tier_jsonl_chunk(data, true, 1, set_aside());
  EXPECT_EQ(chunk.decisions, with_id_text(R"("m-2")") + "\n");
  EXPECT_EQ(
      chunk.errors,
      R"({"id":"m-1","line":1,"message":"missing field `retrieval_count`"})"
      "\n"
      R"({"line":3,"message":"trailing comma at line 1 column 38"})"
      "\n"
      R"({"line":4,"message":"invalid type: string \"x\", expected f64"})"
      "\n"
      R"({"line":5,"message":"not valid UTF-8: invalid start byte at byte 9"})"
      "\n"
      R"({"id":{"a":[1]},"line":6,"message":"invalid type: string \"hi\\\"there\", expected f64"})"
      "\n");
  EXPECT_EQ(chunk.bad_lines, 5u);
  EXPECT_EQ(chunk.records, 1u);
  EXPECT_EQ(chunk.actions[static_cast<std::size_t>(Action::inject_to_prompt)], 1u);
}

// The reasons and 1-based positions are those of Python's strict decoder.
TEST(JsonlChunk, InvalidUtf8IsABadLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[1,2,3,4,\x80]", "invalid start byte at byte 10"},
      {"[1,2,3,4]\xC0\x80", "invalid start byte at byte 10"},
      {"\"\xE0\x80\x80\"", "invalid continuation byte at byte 2"},
      {"\"\xED\xA0\x80\"", "invalid continuation byte at byte 2"},
      {"\"\xF4\x90\x80\x80\"", "invalid continuation byte at byte 2"},
      {"\"\xF0\x9F\x98x\"", "invalid continuation byte at byte 2"},
      {"[1,2,3,4] \xF0\x9F\x98", "unexpected end of data at byte 11"},
      {"\xE2\x82", "unexpected end of data at byte 1"},
      {"\"\xF5\x80\x80\x80\"", "invalid start byte at byte 2"},
  };
  for (const auto& [line, reason] : cases) {
    const JsonlChunk chunk = tier_jsonl_chunk(line + "\n", true, 7, {});
    ASSERT_TRUE(chunk.stop.has_value()) << line;
    EXPECT_EQ(chunk.stop->line, 7u);
    EXPECT_EQ(chunk.stop->message, "not valid UTF-8: " + reason) << line;
  }
  EXPECT_FALSE(find_utf8_problem("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF ascii"));
}

TEST(JsonlChunk, PartialLastLineWaitsForMoreUnlessAtEnd) {
  const std::string data = "[1,2,3,4]\n\n[5,6,7,8]";
  const JsonlChunk more = tier_jsonl_chunk(data, false, 1, {});
  EXPECT_EQ(more.consumed, 11u);
  EXPECT_EQ(more.lines, 2u);
  EXPECT_EQ(more.records, 1u);
  const JsonlChunk end = tier_jsonl_chunk(data, true, 1, {});
  EXPECT_EQ(end.consumed, data.size());
  EXPECT_EQ(end.lines, 3u);
  EXPECT_EQ(end.records, 2u);
  // A partial line is never judged: "[1,2" may go on in the next bytes.
  EXPECT_FALSE(tier_jsonl_chunk("[1,2", false, 1, {}).stop.has_value());
  EXPECT_EQ(tier_jsonl_chunk("", true, 1, {}).lines, 0u);
}

TEST(JsonlChunk, MaxLinesLimitsTheLinesTaken) {
  JsonlOptions options;
  options.max_lines = 2;
  const JsonlChunk chunk = tier_jsonl_chunk("[1,2,3,4]\n\n[1,2,3,4]\n", true, 1, options);
  EXPECT_EQ(chunk.lines, 2u);
  EXPECT_EQ(chunk.records, 1u);
  EXPECT_EQ(chunk.consumed, 11u);
}

// Fed in pieces cut anywhere, with the line numbers carried on, the chunks
// give exactly the decisions, set-aside lines and counts of one whole call.
TEST(JsonlChunk, ChunkBoundariesDoNotMatter) {
  const std::vector<std::string> lines = {
      R"({"id": "a", )" + kFields + "}",
      "",
      "[8, 20, 0.5, 0.5]",
      "[1, 2]",
      R"({"id": [1, {"b": 2}], "days_since_recall": 400, "retrieval_count": 0, "importance": 1, "frequency": 1})",
      "  ",
      R"({"id": 3})",
      "[10, 5, 0.2, 0.1, true]",
      "{\"id\":\"\xC3\xA9\",",
      "[200, 1, 0.9, 0.9, false, true]"};
  std::string data;
  for (int copy = 0; copy < 20; ++copy) {
    for (const std::string& line : lines) data += line + "\n";
  }
  data += "[1,2,3,4]";  // no final line feed
  const JsonlChunk whole = tier_jsonl_chunk(data, true, 1, set_aside());
  EXPECT_EQ(whole.lines, 201u);

  std::mt19937 random(7);
  for (int trial = 0; trial < 50; ++trial) {
    JsonlChunk joined;
    std::size_t start = 0;
    std::size_t fed = 0;
    std::uint64_t line = 1;
    while (true) {
      fed = std::min(data.size(), fed + random() % 300);
      const bool at_end = fed == data.size();
      JsonlOptions options = set_aside();
      options.max_lines = 1 + random() % 9;
      const JsonlChunk part = tier_jsonl_chunk(std::string_view(data).substr(start, fed - start),
                                               at_end, line, options);
      joined.decisions += part.decisions;
      joined.errors += part.errors;
      joined.records += part.records;
      joined.bad_lines += part.bad_lines;
      for (std::size_t a = 0; a < kActionCount; ++a) joined.actions[a] += part.actions[a];
      start += part.consumed;
      line += part.lines;
      if (at_end && start == data.size()) break;
    }
    ASSERT_EQ(joined.decisions, whole.decisions);
    ASSERT_EQ(joined.errors, whole.errors);
    ASSERT_EQ(joined.records, whole.records);
    ASSERT_EQ(joined.bad_lines, whole.bad_lines);
    ASSERT_EQ(joined.actions, whole.actions);
    ASSERT_EQ(line, 202u);
  }
}

// --- members named otherwise, recall times, the longest line ---------------

constexpr double kNow = 1'750'000'000.0;  // 2025-06-15T15:06:40Z
constexpr double kDay = 86'400.0;

// The decision text of a record, as the engine writes it.
std::string decision_of(const TierInput& input) {
  std::string text;
  append_tier_decision(text, classify_tier(input));
  return text;
}

// Days since recall of a time in Unix seconds, by the one rule.
double rule_days(double recalled_at) {
  double days = 0.0;
  ScalarMessage message;
  EXPECT_TRUE(days_since_recall("test", {recalled_at, kNow, 300.0}, days, message));
  return days;
}

struct NamedCase {
  std::string line;
  std::string expected;  // the decision text, or "error: " and the message
};

// The result of one line under the names, as "error: " + message or the
// decision text.
std::string named_result(const std::string& line, const JsonlNames& names) {
  JsonlOptions options = no_ids();
  options.names = names;
  const JsonlChunk chunk = tier_jsonl_chunk(line, true, 1, options);
  if (chunk.stop) return "error: " + chunk.stop->message;
  EXPECT_EQ(chunk.decisions.back(), '\n');
  return chunk.decisions.substr(0, chunk.decisions.size() - 1);
}

TEST(JsonlNames, MembersNamedOtherwiseHoldTheirFields) {
  JsonlNames names;
  names.members[kImportance] = "imp";
  names.members[kKeepForever] = "pinned";
  const std::string rest = R"("days_since_recall": 2, "retrieval_count": 3, "frequency": 0.2)";
  const std::vector<NamedCase> cases = {
      {R"({"imp": 0.5, )" + rest + "}", kDecision},
      // The field's own name is just another member now.
      {R"({"importance": 0.9, "imp": 0.5, )" + rest + "}", kDecision},
      {R"({"imp": 0.9, "imp": 0.5, )" + rest + "}", kDecision},
      {R"({"nested": {"imp": 0.9}, "imp": 0.5, )" + rest + "}", kDecision},
      {R"({"imp": 0.5, "pinned": true, )" + rest + "}", decision_of({2, 3, 0.5, 0.2, false, true})},
      {R"({"imp": 0.5, "keep_forever": true, )" + rest + "}", kDecision},
      // Array records keep their fields by position.
      {"[2, 3, 0.5, 0.2]", kDecision},
      {"[2, 3, 0.5, 0.2, false, true]", decision_of({2, 3, 0.5, 0.2, false, true})},
      // Messages about a renamed member name it; the others are those of "tier".
      {"{" + rest + "}", "error: missing member 'imp' (field importance)"},
      {R"({"importance": 0.5, )" + rest + "}", "error: missing member 'imp' (field importance)"},
      {R"({"imp": "0.5", )" + rest + "}",
       "error: member 'imp' (field importance): invalid type: string \"0.5\", expected f64"},
      {R"({"imp": 0.5, "pinned": 1, )" + rest + "}",
       "error: member 'pinned' (field keep_forever): invalid type: integer `1`, expected a "
       "boolean"},
      {R"({"imp": 0.5, "days_since_recall": 2, "retrieval_count": 3})",
       "error: missing field `frequency`"},
      {R"({"imp": 0.5, "frequency": null, "days_since_recall": 2, "retrieval_count": 3})",
       "error: invalid type: null, expected f64"},
      {"[2, 3, \"x\", 0.2]", "error: invalid type: string \"x\", expected f64"},
      {"5", "error: invalid type: integer `5`, expected struct TierInput"},
  };
  for (const NamedCase& c : cases) EXPECT_EQ(named_result(c.line, names), c.expected) << c.line;
}

TEST(JsonlNames, FieldsMayTradeNames) {
  JsonlNames names;
  names.members[kImportance] = "frequency";
  names.members[kFrequency] = "importance";
  EXPECT_EQ(
      named_result(
          R"({"days_since_recall": 2, "retrieval_count": 3, "importance": 0.2, "frequency": 0.5})",
          names),
      kDecision);
  // The fields' own names, given as members, change nothing.
  JsonlNames same;
  for (std::size_t field = 0; field < 6; ++field) same.members[field] = kFieldNames[field];
  EXPECT_FALSE(same.renamed());
  EXPECT_TRUE(names.renamed());
}

JsonlNames recall_names(std::string_view member, TimeUnit unit = TimeUnit::seconds) {
  JsonlNames names;
  names.recalled_at = member;
  names.recall = RecallOptions{kNow, 300.0, unit};
  return names;
}

TEST(JsonlNames, RecallTimesOfEveryKind) {
  const std::string rest = R"("retrieval_count": 3, "importance": 0.5, "frequency": 0.2)";
  const double yesterday = kNow - kDay;
  const std::string one_day = decision_of({rule_days(yesterday), 3, 0.5, 0.2, false, false});
  const std::string midnight =
      decision_of({rule_days(1'749'945'600.0), 3, 0.5, 0.2, false, false});  // 2025-06-15
  struct Case {
    TimeUnit unit;
    std::string time;  // the member's JSON text
    std::string expected;
  };
  const std::vector<Case> cases = {
      {TimeUnit::seconds, "1749913600", one_day},
      {TimeUnit::seconds, "1749913600.0", one_day},
      {TimeUnit::seconds, "1.7499136e9", one_day},
      {TimeUnit::milliseconds, "1749913600000", one_day},
      {TimeUnit::microseconds, "1749913600000000", one_day},
      {TimeUnit::nanoseconds, "1749913600000000000", one_day},
      {TimeUnit::seconds, R"("1749913600")", one_day},
      {TimeUnit::milliseconds, R"("1749913600000")", one_day},
      {TimeUnit::seconds, R"("2025-06-14T15:06:40Z")", one_day},
      {TimeUnit::seconds, R"("2025-06-14t15:06:40z")", one_day},
      {TimeUnit::seconds, R"("2025-06-14 17:06:40+02:00")", one_day},
      {TimeUnit::seconds, R"("2025-06-14T10:06:40-0500")", one_day},
      {TimeUnit::seconds, R"("2025-06-14T15:06:40")", one_day},
      // The unit applies to numbers only, not to ISO-8601 text.
      {TimeUnit::milliseconds, R"("2025-06-14T15:06:40.000Z")", one_day},
      {TimeUnit::seconds, R"("2025-06-15")", midnight},
      // Within the allowed skew a time after now is day 0.
      {TimeUnit::seconds, "1750000200", decision_of({0.0, 3, 0.5, 0.2, false, false})},
      {TimeUnit::seconds, "1750000301",
       "error: member 't' is 2025-06-15T15:11:41Z, 301 seconds after now (2025-06-15T15:06:40Z), "
       "more than the allowed clock skew of 300 seconds: a local time read as UTC (a time "
       "without an offset counts as UTC)?; or allow more skew with max_skew (--max-skew)"},
      {TimeUnit::seconds, "1749913600000",
       "error: member 't' is 1749913600000 Unix seconds, 20233375 days after now "
       "(2025-06-15T15:06:40Z), more than the allowed clock skew of 300 seconds: milliseconds "
       "read as seconds? Give the time unit ms (time_unit='ms', --time-unit ms); or allow more "
       "skew with max_skew (--max-skew)"},
      {TimeUnit::seconds, R"("yesterday")",
       "error: member 't' is the text 'yesterday', not a time: ISO-8601 "
       "(2025-06-15T12:00:00Z, 2025-06-15) or a number in the time unit (seconds)"},
      {TimeUnit::seconds, R"("2025-06-14T25:00:00Z")",
       "error: member 't' is the text '2025-06-14T25:00:00Z', not a time: ISO-8601 "
       "(2025-06-15T12:00:00Z, 2025-06-15) or a number in the time unit (seconds)"},
      {TimeUnit::milliseconds, "null",
       "error: member 't' is null, not a time: ISO-8601 text (2025-06-15T12:00:00Z, "
       "2025-06-15) or a number in the time unit (milliseconds)"},
      {TimeUnit::seconds, "true",
       "error: member 't' is true, not a time: ISO-8601 text (2025-06-15T12:00:00Z, "
       "2025-06-15) or a number in the time unit (seconds)"},
      {TimeUnit::seconds, "[1749913600]",
       "error: member 't' is an array, not a time: ISO-8601 text (2025-06-15T12:00:00Z, "
       "2025-06-15) or a number in the time unit (seconds)"},
      {TimeUnit::seconds, R"({"s": 1})",
       "error: member 't' is an object, not a time: ISO-8601 text (2025-06-15T12:00:00Z, "
       "2025-06-15) or a number in the time unit (seconds)"},
  };
  for (const Case& c : cases) {
    const std::string line = R"({"t": )" + c.time + ", " + rest + "}";
    EXPECT_EQ(named_result(line, recall_names("t", c.unit)), c.expected) << line;
  }
}

TEST(JsonlNames, RecallTimeStandsInForTheDayCount) {
  const JsonlNames names = recall_names("t");
  const std::string rest = R"("retrieval_count": 3, "importance": 0.5, "frequency": 0.2)";
  const std::string one_day = decision_of({rule_days(kNow - kDay), 3, 0.5, 0.2, false, false});
  const std::vector<NamedCase> cases = {
      // A days_since_recall member is not read, whatever it holds.
      {R"({"days_since_recall": "junk", "t": 1749913600, )" + rest + "}", one_day},
      // The last of a repeated member counts, as for any field.
      {R"({"t": "bad", "t": 1749913600, )" + rest + "}", one_day},
      {R"({"t": 1749913600, "t": null, )" + rest + "}",
       "error: member 't' is null, not a time: ISO-8601 text (2025-06-15T12:00:00Z, "
       "2025-06-15) or a number in the time unit (seconds)"},
      {R"({"meta": {"t": 1}, "t": 1749913600, )" + rest + "}", one_day},
      {"{" + rest + "}", "error: missing member 't' (the recall time)"},
      {R"({"days_since_recall": 1, )" + rest + "}", "error: missing member 't' (the recall time)"},
      // The recall time is looked at before the other fields.
      {R"({"t": "bad", "importance": 0.5})",
       "error: member 't' is the text 'bad', not a time: ISO-8601 (2025-06-15T12:00:00Z, "
       "2025-06-15) or a number in the time unit (seconds)"},
      {R"({"t": 1749913600, "importance": 0.5})", "error: missing field `retrieval_count`"},
      // Array records keep the day count at its position.
      {"[1, 3, 0.5, 0.2]", decision_of({1, 3, 0.5, 0.2, false, false})},
      {"7", "error: invalid type: integer `7`, expected struct TierInput"},
  };
  for (const NamedCase& c : cases) EXPECT_EQ(named_result(c.line, names), c.expected) << c.line;

  // With ids, mapped members and a member that is both the id and the time.
  JsonlOptions options;
  options.names = recall_names("t");
  options.names.members[kImportance] = "imp";
  options.id_field = "t";
  const JsonlChunk chunk = tier_jsonl_chunk(
      R"({"t": "2025-06-14T15:06:40Z", "imp": 0.5, "retrieval_count": 3, "frequency": 0.2})"
      "\n",
      true, 1, options);
  ASSERT_FALSE(chunk.stop.has_value()) << chunk.stop->message;
  const std::string decision = one_day;
  EXPECT_EQ(chunk.decisions, decision.substr(0, decision.find(",\"retention\"")) +
                                 R"(,"id":"2025-06-14T15:06:40Z")" +
                                 decision.substr(decision.find(",\"retention\"")) + "\n");
}

TEST(JsonlNames, ASetAsideLineUnderNamesKeepsItsId) {
  JsonlOptions options = set_aside();
  options.names = recall_names("last_recalled_at", TimeUnit::milliseconds);
  const JsonlChunk chunk =
      tier_jsonl_chunk(R"({"id": "m-1", "last_recalled_at": 1e30, "retrieval_count": 3})"
                       "\n",
                       true, 4, options);
  EXPECT_EQ(chunk.errors,
            R"({"id":"m-1","line":4,"message":"member 'last_recalled_at' is 1e+27 Unix )"
            R"(seconds, 1.1574074074074075e+22 days after now (2025-06-15T15:06:40Z), more than )"
            R"(the allowed clock skew of 300 seconds: nanoseconds read as milliseconds? Give the )"
            R"(time unit ns (time_unit='ns', )"
            R"x(--time-unit ns); or allow more skew with max_skew (--max-skew)"})x"
            "\n");
}

TEST(JsonlChunk, ALineLongerThanTheLimitIsBadWithoutBeingRead) {
  JsonlOptions options;
  options.max_line_bytes = 20;
  const std::string fits = R"({"id":1,"a":[1,2,3]})";  // 20 bytes: not decoded as a record
  ASSERT_EQ(fits.size(), 20u);
  const std::string longer = R"({"id":"x","a":[1,2,3]})";
  const std::string blank(21, ' ');
  const std::string data = "[8,20,0.5,0.5]\n" + fits + "\n" + longer + "\n" + blank +
                           "\r\n[8,20,0.5,0.5]\n" + std::string(20, ' ') + "\n";
  const std::string message =
      "longer than 20 bytes, the limit of a line: raise it with max_line_bytes "
      "(--max-line-bytes)";

  const JsonlChunk stopped = tier_jsonl_chunk(data, true, 1, options);
  ASSERT_TRUE(stopped.stop.has_value());
  EXPECT_EQ(stopped.stop->line, 2u);  // the 20 bytes are read, and are no record
  EXPECT_EQ(stopped.stop->message, "missing field `days_since_recall`");

  options.set_aside_bad_lines = true;
  const JsonlChunk kept = tier_jsonl_chunk(data, true, 1, options);
  EXPECT_EQ(kept.records, 2u);
  EXPECT_EQ(kept.bad_lines, 3u);
  // A line too long is not read, so it has no id even when it holds one.
  EXPECT_EQ(kept.errors, R"({"id":1,"line":2,"message":"missing field `days_since_recall`"})"
                         "\n"
                         R"({"line":3,"message":")" +
                             message + "\"}\n" + R"({"line":4,"message":")" + message + "\"}\n");
  EXPECT_EQ(kept.lines, 6u);

  options.set_aside_bad_lines = false;
  const JsonlChunk at_long = tier_jsonl_chunk(data.substr(data.find(longer)), true, 3, options);
  ASSERT_TRUE(at_long.stop.has_value());
  EXPECT_EQ(at_long.stop->line, 3u);
  EXPECT_EQ(at_long.stop->message, message);
  EXPECT_EQ(at_long.consumed, 0u);

  EXPECT_EQ(too_long_message(67'108'864),
            "longer than 67,108,864 bytes, the limit of a line: raise it with max_line_bytes "
            "(--max-line-bytes)");
  EXPECT_EQ(too_long_message(999).substr(0, 21), "longer than 999 bytes");
  EXPECT_EQ(too_long_message(1000).substr(0, 23), "longer than 1,000 bytes");
}

}  // namespace
}  // namespace quillmarrow
