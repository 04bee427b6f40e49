// One line of a JSON Lines export, decoded on its own exactly as the "tier"
// command decodes its payload: the same reader, the same record rules, the
// same messages. Besides the record it picks out the item's id: the member
// of an object record named by the id field, the last one when the key
// repeats, written back compactly by the engine's writer.
//
// Object records may name their fields otherwise, and give a recall time
// instead of days_since_recall (record_names.hpp); a message about a member
// so named names the member. Read by the fields' own names, a line decodes
// exactly as "tier" decodes it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "jsonl/record_names.hpp"
#include "jsonl/value_capture.hpp"
#include "records/record_reader.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {

// Reader events of one line: the record for the decision, and the id member.
class JsonlLineHandler : public RecordEvents<JsonlLineHandler> {
 public:
  // An empty id_field with with_id false takes no id. The texts that
  // id_field and names view must outlive the handler.
  JsonlLineHandler(std::string_view id_field, bool with_id, const JsonlNames& names = {})
      : id_field_(id_field),
        with_id_(with_id),
        renamed_(names.renamed()),
        names_(names),
        recalling_(!names.recalled_at.empty()) {
    if (recalling_) recall_subject_ = recall_subject(names);
  }

  // Forgets the previous line, including a record a syntax error cut short.
  void start_line() {
    depth_ = 0;
    is_object_ = false;
    id_next_ = false;
    has_id_ = false;
    in_id_ = false;
    capture_.clear();
    recall_next_ = false;
    has_recall_ = false;
  }

  const RecordReader& record() const { return record_; }
  bool has_id() const { return has_id_; }
  std::string_view id_text() const { return id_text_; }

  // After the line was read without a syntax error: the record's decoding
  // error, if any. With a recall time, the days from it are the record's
  // days_since_recall.
  std::optional<std::string> finish_record();

  void key(std::string_view k) {
    if (in_id_) {
      capture_.key(k);
      return;
    }
    if (renamed_) {
      renamed_key(k);
    } else {
      record_.key(k);
    }
    if (depth_ == 1 && with_id_ && !is_array_) id_next_ = (k == id_field_);
  }
  void scalar(const FieldValue& value) {
    if (depth_ == 0) {
      record_.scalar_record(value);
      return;
    }
    record_.scalar(value);
    // Kept this small so that the reader takes it inline: the id and the
    // recall time, met once a line, are handled out of line.
    if (in_id_ || id_next_ || recall_next_) member_value(value);
  }
  void begin(bool is_array) {
    if (depth_ == 0) {
      record_.begin(is_array);
      is_array_ = is_array;
      is_object_ = !is_array;
      depth_ = 1;
      return;
    }
    record_.begin_container(is_array);
    if (in_id_ || id_next_ || recall_next_) member_begin(is_array);
    ++depth_;
  }
  void end() {
    record_.end_container();
    --depth_;
    if (in_id_) {
      std::string text;
      if (capture_.end(text)) {
        id_text_ = std::move(text);
        has_id_ = true;
        in_id_ = false;
      }
    }
  }

 private:
  // A key under the names: the field of its member, and whether it is the
  // member of recall times. (Out of line, as is all the naming code, so that
  // the reader's code for records read by the fields' names stays as small.)
  [[gnu::noinline]] void renamed_key(std::string_view k);
  // A value that is (part of) the id, or the recall time, and the opening of
  // an array or object that is.
  [[gnu::noinline]] void member_value(const FieldValue& value);
  [[gnu::noinline]] void member_begin(bool is_array);
  // The value of the member of recall times (the last one counts).
  [[gnu::cold]] void take_recall(const FieldValue& value);

  std::string_view id_field_;
  bool with_id_;
  bool renamed_;
  RecordReader record_{kTierInputShape};
  int depth_ = 0;  // 1 inside the record's own array or object
  bool is_array_ = false;
  bool id_next_ = false;  // the next value at depth 1 is the id member's
  bool in_id_ = false;    // an array or object id is being captured
  bool has_id_ = false;
  bool recall_next_ = false;  // the next value at depth 1 is the recall time
  std::string id_text_;
  ValueCapture capture_;
  // Under names only.
  JsonlNames names_;
  bool recalling_;
  bool is_object_ = false;  // the line's record is an object
  bool has_recall_ = false;
  std::string recall_subject_;
  RecallDays recall_;
};

// Decodes one non-blank line as a TierInput and classifies it. Returns the
// line's message when it is bad: a UTF-8 problem, else exactly the message
// run_command("tier", line) gives. The id, if any, is left in the handler
// (a line with a syntax error or invalid UTF-8 has none).
struct JsonlLineResult {
  std::optional<TierDecision> decision;
  std::string message;  // when there is no decision
};
JsonlLineResult tier_jsonl_line(std::string_view line, JsonlLineHandler& handler);

}  // namespace quillmarrow
