// The commands read their records straight from the reader's events; here
// they are checked against the reference road (run_command_through_tree:
// parse the whole payload, decode from the tree, compute, write the value).
// Both must give the same text or the same message.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <variant>

#include "commands/commands.hpp"
#include "reference/commands.hpp"

namespace quillmarrow {
namespace {

std::string outcome(const CommandResult& result) {
  if (const auto* error = std::get_if<EngineError>(&result)) return "error: " + error->message;
  return std::get<std::string>(result);
}

// The reference road's answer for a command: parse, decode, score, write.
std::string through_tree(std::string_view command, std::string_view payload) {
  return outcome(run_command_through_tree(command, payload));
}
std::string through_tree(std::string_view payload) {
  return through_tree("tier-batch", payload);
}

std::string streamed(std::string_view payload) {
  return outcome(run_tier_batch(payload));
}

struct Case {
  const char* payload;
  const char* expected;  // the exact output or "error: " and the message
};

TEST(TierBatchStream, AnswersLikeTheValueTree) {
  const Case cases[] = {
      {R"({"items":[]})", R"({"ok":true,"result":{"decisions":[]}})"},
      {R"({"items":[{"days_since_recall":0,"retrieval_count":0,"importance":0,"frequency":0}]})",
       R"({"ok":true,"result":{"decisions":[{"action":"long_term_semantic","retention":1.0,"tier":"warm_semantic"}]}})"},
      {R"({"items":[[1,0,0,0,false,true],[0,0,0,0]]})",
       R"({"ok":true,"result":{"decisions":[{"action":"keep_forever_tag","retention":1.0,"tier":"warm_semantic"},{"action":"long_term_semantic","retention":1.0,"tier":"warm_semantic"}]}})"},
      // Shape of the payload.
      {R"({})", "error: missing required field: items"},
      {R"([])", "error: missing required field: items"},
      {R"(null)", "error: missing required field: items"},
      {R"({"items":null})", "error: missing required field: items"},
      {R"({"items":{}})", "error: missing required field: items"},
      {R"({"items":"[]"})", "error: missing required field: items"},
      {R"({"Items":[]})", "error: missing required field: items"},
      {R"({"x":{"items":[]}})", "error: missing required field: items"},
      // The last "items" member is the one used, whatever came before.
      {R"({"items":[1],"items":[]})", R"({"ok":true,"result":{"decisions":[]}})"},
      {R"({"items":[],"items":5})", "error: missing required field: items"},
      {R"({"items":[[0,0,0,0]],"other":[7],"items":[[0,0,0,0,true]]})",
       R"({"ok":true,"result":{"decisions":[{"action":"long_term_semantic","retention":1.0,"tier":"warm_semantic"}]}})"},
      // Elements that do not decode.
      {R"({"items":[5]})", "error: invalid type: integer `5`, expected struct TierInput"},
      {R"({"items":["a\"b"]})", R"(error: invalid type: string "a\"b", expected struct TierInput)"},
      {R"({"items":[[0,0,0,0],{}]})", "error: missing field `days_since_recall`"},
      {R"({"items":[{"frequency":true,"retrieval_count":"x"}]})",
       "error: invalid type: boolean `true`, expected f64"},
      {R"({"items":[{"importance":[1],"frequency":{"a":[1,{}]}}]})",
       "error: invalid type: map, expected f64"},
      {R"({"items":[{"days_since_recall":"3","days_since_recall":0,"retrieval_count":1,"importance":0,"frequency":0}]})",
       R"({"ok":true,"result":{"decisions":[{"action":"inject_to_prompt","retention":1.45,"tier":"hot"}]}})"},
      {R"({"items":[{"days_since_recall":0,"retrieval_count":0,"importance":0,"frequency":0,"is_procedural":null}]})",
       "error: invalid type: null, expected a boolean"},
      {R"({"items":[[]]})", "error: invalid length 0, expected struct TierInput with 6 elements"},
      {R"({"items":[[1,2]]})",
       "error: invalid length 2, expected struct TierInput with 6 elements"},
      {R"({"items":[[1,2,3,4,1]]})", "error: invalid type: integer `1`, expected a boolean"},
      {R"({"items":[[1,2,3,4,true,false,1]]})",
       "error: invalid length 7, expected fewer elements in array"},
      {R"({"items":[[1,[2],3]]})", "error: invalid type: sequence, expected f64"},
      {R"({"items":[[1,2,3,4,true,false,[1],{"a":2}]]})",
       "error: invalid length 8, expected fewer elements in array"},
      // The first bad element wins, and a syntax error anywhere wins over it.
      {R"({"items":[[1],[1,2,3,"x"]]})",
       "error: invalid length 1, expected struct TierInput with 6 elements"},
      {R"({"items":[[1]],"x":tru})", "error: expected ident at line 1 column 23"},
      {R"({"items":[[1]]} x)", "error: trailing characters at line 1 column 17"},
      {"", "error: EOF while parsing a value at line 1 column 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    EXPECT_EQ(streamed(c.payload), c.expected);
    EXPECT_EQ(through_tree(c.payload), c.expected);
  }
}

// Random payloads mixing good and bad elements, object and array forms,
// unknown members with nested values, repeated keys and repeated "items".
std::string random_value(std::mt19937_64& rng, int depth) {
  static const char* const scalars[] = {"0",    "1",     "-3",    "2.5",  "1e3", "null",
                                        "true", "false", "\"s\"", "7E-2", "180", "0.65"};
  std::uniform_int_distribution<int> pick(0, depth > 2 ? 11 : 13);
  int k = pick(rng);
  if (k < 12) return scalars[k];
  if (k == 12) return "[" + random_value(rng, depth + 1) + "]";
  return "{\"k\":" + random_value(rng, depth + 1) + "}";
}

std::string random_number(std::mt19937_64& rng) {
  static const char* const numbers[] = {"0",   "1",  "3",   "7",    "30",  "180", "-5", "0.5",
                                        "2.0", "20", "1e3", "45.5", "0.2", "1e9", "8"};
  return numbers[std::uniform_int_distribution<int>(0, 14)(rng)];
}

std::string random_element(std::mt19937_64& rng) {
  std::uniform_int_distribution<int> percent(0, 99);
  auto field_value = [&](bool flag) {
    int p = percent(rng);
    if (p < 90) return flag ? std::string(p % 2 ? "true" : "false") : random_number(rng);
    return random_value(rng, 0);
  };
  if (percent(rng) < 2) return random_value(rng, 0);
  if (percent(rng) < 40) {
    int length = percent(rng) < 95 ? 4 + percent(rng) % 3 : percent(rng) % 9;
    std::string out = "[";
    for (int i = 0; i < length; ++i) {
      if (i) out += ",";
      out += field_value(i >= 4);
    }
    return out + "]";
  }
  static const char* const names[] = {
      "days_since_recall", "retrieval_count", "importance", "frequency",
      "is_procedural",     "keep_forever",    "note",       "Frequency"};
  std::string out = "{";
  bool first = true;
  for (int i = 0; i < 8; ++i) {
    int repeats = percent(rng) < 97 ? 1 : (percent(rng) % 2 ? 0 : 2);
    if (i < 4 && percent(rng) < 1) repeats = 0;
    if (i >= 4 && percent(rng) < 50) repeats = 0;
    for (int r = 0; r < repeats; ++r) {
      if (!first) out += ",";
      first = false;
      out += "\"" + std::string(names[i]) + "\":" + field_value(i == 4 || i == 5);
    }
  }
  // Keys that are nearly a field's name, or a name written with an escape,
  // which must be read as the key they are, not as the name they resemble.
  static const char* const near_names[] = {"days_since_recal",
                                           "importancex",
                                           "i",
                                           "im",
                                           "retrieval_count ",
                                           "keep_forever_",
                                           "frequenc",
                                           "days\\u005fsince_recall",
                                           "is_procedura",
                                           "impo\\rtance",
                                           "frequency\\\"",
                                           "is_\\u0070rocedural"};
  if (percent(rng) < 15) {
    out += std::string(first ? "" : ",") + "\"" + near_names[percent(rng) % 12] +
           "\":" + field_value(percent(rng) % 2 == 0);
  }
  return out + "}";
}

TEST(TierBatchStream, RandomPayloadsAnswerLikeTheValueTree) {
  std::mt19937_64 rng(20261207);
  int failures = 0, successes = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string payload = "{\"items\":[";
    int count = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int i = 0; i < count; ++i) {
      if (i) payload += ",";
      payload += random_element(rng);
    }
    payload += "]";
    if (round % 7 == 0) payload += ",\"items\":[" + random_element(rng) + "]";
    if (round % 11 == 0) payload += ",\"extra\":" + random_value(rng, 0);
    payload += "}";
    const std::string expected = through_tree(payload);
    ASSERT_EQ(streamed(payload), expected) << payload;
    (expected.rfind("error: ", 0) == 0 ? failures : successes)++;
  }
  // The generator must exercise both outcomes to mean anything.
  EXPECT_GT(failures, 300);
  EXPECT_GT(successes, 300);
}

// Single records: every element shape of the batch generator, and payloads
// that are not records at all, read as "score" and as "tier".
TEST(SingleRecordStream, RandomPayloadsAnswerLikeTheValueTree) {
  std::mt19937_64 rng(7);
  int failures = 0, successes = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string payload = random_element(rng);
    if (round % 13 == 0) payload = random_value(rng, 0);
    if (round % 17 == 0) payload += " x";
    if (round % 19 == 0) payload.resize(payload.size() / 2);
    const std::string tier = through_tree("tier", payload);
    ASSERT_EQ(outcome(run_command("tier", payload)), tier) << payload;
    ASSERT_EQ(outcome(run_command("score", payload)), through_tree("score", payload)) << payload;
    (tier.rfind("error: ", 0) == 0 ? failures : successes)++;
  }
  EXPECT_GT(failures, 400);
  EXPECT_GT(successes, 400);
}

}  // namespace
}  // namespace quillmarrow
