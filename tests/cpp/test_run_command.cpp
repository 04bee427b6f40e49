#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "commands/run_command.hpp"
#include "reference/parse.hpp"

namespace quillmarrow {
namespace {

// "ok " and the output text, or "error " and the message, so that one table
// column holds either outcome.
std::string outcome(std::string_view command, std::string_view payload) {
  CommandResult result = run_command(command, payload);
  if (const std::string* text = std::get_if<std::string>(&result)) return "ok " + *text;
  return "error " + std::get<EngineError>(result).message;
}

struct CommandCase {
  const char* command;
  const char* payload;
  const char* expected;
};

const char kZeros[] = R"({"days_since_recall":0,"retrieval_count":0,"importance":0,"frequency":0})";

const CommandCase kOutputs[] = {
    {"score", kZeros, R"(ok {"ok":true,"result":{"boost":1.0,"retention":1.0,"stability":0.001}})"},
    {"tier", kZeros,
     R"(ok {"ok":true,"result":{"action":"long_term_semantic","retention":1.0,"tier":"warm_semantic"}})"},
    {"tier-batch", R"({"items":[]})", R"(ok {"ok":true,"result":{"decisions":[]}})"},
    {"score", "[-3, -2, 2, -1]",
     R"(ok {"ok":true,"result":{"boost":1.3,"retention":1.3,"stability":0.001}})"},
    {"score", "[1, 0, 0, 0]",
     R"(ok {"ok":true,"result":{"boost":1.0,"retention":0.0,"stability":0.001}})"},
    {"score", "[0, 1, 0.5, 0.5]",
     R"(ok {"ok":true,"result":{"boost":1.7249999999999999,"retention":1.7249999999999999,)"
     R"("stability":0.6931471805599453}})"},
    {"tier", "[1000, 0, 0, 0, true, true]",
     R"(ok {"ok":true,"result":{"action":"keep_forever_tag","retention":1.0,"tier":"warm_semantic"}})"},
    {"tier", "[3, 1e9, 1, 1]",
     R"(ok {"ok":true,"result":{"action":"inject_to_prompt","retention":10.0,"tier":"hot"}})"},
    {"tier-batch", R"({"items":[[1,0,0,0],{"keep_forever":true},[0,0,0,0]]})",
     "error missing field `days_since_recall`"},
    {"tier-batch", R"({"items":[[1,0,0,0],[0,0,0,0,false,true]],"other":5})",
     R"(ok {"ok":true,"result":{"decisions":[)"
     R"({"action":"archive_on_demand","retention":0.0,"tier":"cold"},)"
     R"({"action":"keep_forever_tag","retention":1.0,"tier":"warm_semantic"}]}})"},
    // A repeated "items" uses the later array.
    {"tier-batch", R"({"items":[[1,0,0,0]],"items":[[0,0,0,0]]})",
     R"(ok {"ok":true,"result":{"decisions":[)"
     R"({"action":"long_term_semantic","retention":1.0,"tier":"warm_semantic"}]}})"},
    // Blanks after the document are accepted.
    {"score", "[0,0,0,0] \t\r\n ",
     R"(ok {"ok":true,"result":{"boost":1.0,"retention":1.0,"stability":0.001}})"},
    {"tier-batch", "\n{\"items\" : [ ] }\r\n\t", R"(ok {"ok":true,"result":{"decisions":[]}})"},
};

TEST(RunCommand, OutputTexts) {
  for (const CommandCase& c : kOutputs) {
    SCOPED_TRACE(std::string(c.command) + " " + c.payload);
    EXPECT_EQ(outcome(c.command, c.payload), c.expected);
  }
}

const CommandCase kFailures[] = {
    // The payload is parsed first, whatever the command.
    {"score", "", "error EOF while parsing a value at line 1 column 0"},
    {"tier", "", "error EOF while parsing a value at line 1 column 0"},
    {"tier-batch", "", "error EOF while parsing a value at line 1 column 0"},
    {"nope", "", "error EOF while parsing a value at line 1 column 0"},
    {"", "", "error EOF while parsing a value at line 1 column 0"},
    {"nope", "{\"a\":1,}", "error trailing comma at line 1 column 8"},
    {"score", "[0,0,0,0] x", "error trailing characters at line 1 column 11"},
    {"tier", "[0,0,0,0]\n\n x", "error trailing characters at line 3 column 2"},
    // The name before the payload's shape.
    {"nope", "null", "error unknown command: nope"},
    {"Tier", kZeros, "error unknown command: Tier"},
    {"SCORE", kZeros, "error unknown command: SCORE"},
    {"tier ", kZeros, "error unknown command: tier "},
    {" tier", kZeros, "error unknown command:  tier"},
    {"tier_batch", R"({"items":[]})", "error unknown command: tier_batch"},
    {"tier-", R"({"items":[]})", "error unknown command: tier-"},
    {"scores", kZeros, "error unknown command: scores"},
    {"", kZeros, "error unknown command: "},
    // The payload's shape.
    {"tier-batch", "{}", "error missing required field: items"},
    {"tier-batch", "[]", "error missing required field: items"},
    {"tier-batch", "[[0,0,0,0]]", "error missing required field: items"},
    {"tier-batch", "null", "error missing required field: items"},
    {"tier-batch", "7", "error missing required field: items"},
    {"tier-batch", R"("items")", "error missing required field: items"},
    {"tier-batch", R"({"items":null})", "error missing required field: items"},
    {"tier-batch", R"({"items":{}})", "error missing required field: items"},
    {"tier-batch", R"({"items":{"0":[0,0,0,0]}})", "error missing required field: items"},
    {"tier-batch", R"({"items":3})", "error missing required field: items"},
    {"tier-batch", R"({"items":"[]"})", "error missing required field: items"},
    {"tier-batch", R"({"Items":[]})", "error missing required field: items"},
    {"score", "1.5", "error invalid type: floating point `1.5`, expected struct RetentionInput"},
    {"score", "true", "error invalid type: boolean `true`, expected struct RetentionInput"},
    {"tier", "null", "error invalid type: null, expected struct TierInput"},
    {"score", "[3, 2, 0.5, 0.5, true]", "error invalid length 5, expected fewer elements in array"},
    {"tier", R"({"importance":"x","retrieval_count":1,"frequency":1})",
     "error invalid type: string \"x\", expected f64"},
    {"tier", R"({"retrieval_count":"x","frequency":true})",
     "error invalid type: boolean `true`, expected f64"},
    {"score", R"({"days_since_recall":0,"importance":0,"retrieval_count":0})",
     "error missing field `frequency`"},
    // Elements in order: the first bad one fails the batch, with its message
    // alone, even after good ones.
    {"tier-batch",
     R"({"items":[[0,0,0,0],{"days_since_recall":1,"retrieval_count":1,"importance":1}]})",
     "error missing field `frequency`"},
    {"tier-batch", R"({"items":[[0,0,0,0],[1,2],[null,0,0,0]]})",
     "error invalid length 2, expected struct TierInput with 6 elements"},
    {"tier-batch", R"({"items":[[0,0,0,0],[null,0,0,0],[1,2]]})",
     "error invalid type: null, expected f64"},
    {"tier-batch", R"({"items":[1]})",
     "error invalid type: integer `1`, expected struct TierInput"},
};

TEST(RunCommand, Failures) {
  for (const CommandCase& c : kFailures) {
    SCOPED_TRACE(std::string(c.command) + " " + c.payload);
    EXPECT_EQ(outcome(c.command, c.payload), c.expected);
  }
}

TEST(RunCommand, NamesAreRepeatedByteForByte) {
  // An embedded zero byte is an ordinary character of the name.
  const std::string names[] = {std::string("tier\0", 5),
                               std::string("\0tier", 5),
                               std::string("ti\0er", 5),
                               std::string(1, '\0'),
                               "t\xc3\xa9r",
                               "tier\n"};
  for (const std::string& name : names) {
    EXPECT_EQ(outcome(name, "[0,0,0,0]"), "error unknown command: " + name);
  }
  // Likewise in the payload: a zero byte after the document is not a blank.
  EXPECT_EQ(outcome("tier", std::string("[0,0,0,0]\0", 10)),
            "error trailing characters at line 1 column 10");
}

TEST(RunCommand, IntegralNumbersMatchTheirFractionalSpelling) {
  EXPECT_EQ(outcome("score", "[3, 2, 0, 1]"), outcome("score", "[3.0, 2.0, 0.0, 1.0]"));
  EXPECT_EQ(outcome("tier", "[45, 1000, 0, 0]"), outcome("tier", "[4.5e1, 1e3, 0.0, 0e0]"));
}

// A random record with a fixed seed: numbers spelt as integers or with a
// fraction, written in object or array form.
struct RandomRecord {
  std::string days, count, importance, frequency;
  bool is_procedural, keep_forever, as_array;

  // The four numbers only, as a RetentionInput or an unpinned TierInput.
  std::string numbers() const {
    if (as_array) return "[" + days + "," + count + "," + importance + "," + frequency + "]";
    return R"({"frequency":)" + frequency + R"(,"importance":)" + importance +
           R"(,"days_since_recall":)" + days + R"(,"retrieval_count":)" + count + "}";
  }
  std::string with_flags() const {
    const char* p = is_procedural ? "true" : "false";
    const char* k = keep_forever ? "true" : "false";
    std::string text = numbers();
    text.pop_back();
    if (as_array) return text + "," + p + "," + k + "]";
    return text + R"(,"is_procedural":)" + p + R"(,"keep_forever":)" + k + "}";
  }
};

std::vector<RandomRecord> random_records(int count) {
  std::mt19937_64 rng(424242);
  auto number = [&](double lo, double hi) {
    const double x = lo + (hi - lo) * std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    char buf[40];
    std::snprintf(buf, sizeof buf, rng() % 4 == 0 ? "%.0f" : "%.17g", x);
    return std::string(buf);
  };
  std::vector<RandomRecord> records;
  for (int n = 0; n < count; ++n) {
    RandomRecord r;
    // Half of the records get the days that bring them near a random
    // retention, so the middle of the decision chain is reached too.
    const double c = std::pow(10.0, std::uniform_real_distribution<double>(-1.0, 6.0)(rng));
    const double aim = std::uniform_real_distribution<double>(0.2, 1.2)(rng);
    const double d = std::log(c + 1.0) * std::log((c * 0.45 + 1.0) / aim);
    r.days = n % 2 == 0 ? number(d, d) : number(-10, 250);
    r.count = n % 2 == 0 ? number(c, c) : number(-2, 40);
    r.importance = number(-0.5, 1.5);
    r.frequency = number(-0.5, 1.5);
    r.is_procedural = rng() % 3 == 0;
    r.keep_forever = rng() % 20 == 0;
    r.as_array = rng() % 2 == 0;
    records.push_back(r);
  }
  return records;
}

// The "result" member of a successful output, parsed back.
JsonValue result_of(std::string_view command, std::string_view payload) {
  CommandResult out = run_command(command, payload);
  const std::string* text = std::get_if<std::string>(&out);
  if (text == nullptr) {
    ADD_FAILURE() << command << " failed: " << std::get<EngineError>(out).message;
    return JsonValue();
  }
  ParseResult parsed = parse_json(*text);
  const JsonValue* value = std::get_if<JsonValue>(&parsed);
  const JsonObject* envelope = value != nullptr ? value->as_object() : nullptr;
  if (envelope == nullptr || envelope->size() != 2 || envelope->find("result") == nullptr ||
      envelope->find("ok") == nullptr || *envelope->find("ok") != JsonValue(true)) {
    ADD_FAILURE() << "not a success envelope: " << *text;
    return JsonValue();
  }
  return *envelope->find("result");
}

TEST(RunCommand, BatchDecisionsEqualSingleTierResults) {
  const std::vector<RandomRecord> records = random_records(300);
  std::string payload = R"({"items":[)";
  for (std::size_t n = 0; n < records.size(); ++n) {
    if (n > 0) payload += ',';
    payload += records[n].with_flags();
  }
  payload += "]}";

  const JsonValue batch = result_of("tier-batch", payload);
  ASSERT_NE(batch.as_object(), nullptr);
  const JsonValue* decisions = batch.as_object()->find("decisions");
  ASSERT_NE(decisions, nullptr);
  ASSERT_NE(decisions->as_array(), nullptr);
  ASSERT_EQ(decisions->as_array()->size(), records.size());
  std::set<std::string> actions;
  for (std::size_t n = 0; n < records.size(); ++n) {
    SCOPED_TRACE(records[n].with_flags());
    const JsonValue single = result_of("tier", records[n].with_flags());
    EXPECT_EQ((*decisions->as_array())[n], single);
    const JsonValue* action = single.as_object() ? single.as_object()->find("action") : nullptr;
    ASSERT_NE(action, nullptr);
    actions.insert(*action->as_string());
  }
  // The records reach every action, so the comparison covers the whole chain.
  EXPECT_EQ(actions.size(), 7u) << [&] {
    std::string seen;
    for (const std::string& a : actions) seen += a + " ";
    return seen;
  }();
}

TEST(RunCommand, ScoreAndTierReportTheSameRetention) {
  for (const RandomRecord& record : random_records(200)) {
    SCOPED_TRACE(record.numbers());
    const JsonValue score = result_of("score", record.numbers());
    const JsonValue tier = result_of("tier", record.numbers());
    ASSERT_NE(score.as_object(), nullptr);
    ASSERT_NE(tier.as_object(), nullptr);
    const JsonValue* from_score = score.as_object()->find("retention");
    const JsonValue* from_tier = tier.as_object()->find("retention");
    ASSERT_NE(from_score, nullptr);
    ASSERT_NE(from_tier, nullptr);
    // Both texts come from the same double, so they parse back identically.
    EXPECT_EQ(*from_score, *from_tier);
    EXPECT_NE(from_score->as_number(), nullptr);
  }
}

}  // namespace
}  // namespace quillmarrow
