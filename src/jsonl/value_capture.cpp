#include "jsonl/value_capture.hpp"

#include <algorithm>

#include "json/writer.hpp"

namespace quillmarrow {

void ValueCapture::write_scalar(std::string& out, const FieldValue& value) {
  switch (value.kind) {
    case FieldValue::Kind::null:
      out.append("null");
      return;
    case FieldValue::Kind::boolean:
      out.append(value.flag ? "true" : "false");
      return;
    case FieldValue::Kind::number:
      append_json_number(out, value.number);
      return;
    case FieldValue::Kind::string:
      append_json_string(out, value.text);
      return;
    case FieldValue::Kind::sequence:
      out.append("[]");
      return;
    case FieldValue::Kind::map:
      out.append("{}");
      return;
  }
}

void ValueCapture::begin(bool is_array) {
  stack_.emplace_back();
  stack_.back().is_array = is_array;
  if (is_array) stack_.back().text.push_back('[');
}

void ValueCapture::key(std::string_view key) {
  stack_.back().key.assign(key);
}

void ValueCapture::scalar(const FieldValue& value) {
  write_scalar(next_value(), value);
}

std::string& ValueCapture::next_value() {
  Frame& frame = stack_.back();
  if (frame.is_array) {
    if (frame.text.size() > 1) frame.text.push_back(',');
    return frame.text;
  }
  frame.members.emplace_back(std::move(frame.key), std::string());
  frame.key.clear();
  return frame.members.back().second;
}

bool ValueCapture::end(std::string& out) {
  Frame frame = std::move(stack_.back());
  stack_.pop_back();
  std::string& target = stack_.empty() ? out : next_value();
  if (frame.is_array) {
    target.append(frame.text);
    target.push_back(']');
    return stack_.empty();
  }
  // Keys in byte order; of a repeated key, the member written last.
  std::stable_sort(frame.members.begin(), frame.members.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  target.push_back('{');
  for (std::size_t i = 0; i < frame.members.size(); ++i) {
    if (i + 1 < frame.members.size() && frame.members[i + 1].first == frame.members[i].first) {
      continue;
    }
    if (target.back() != '{') target.push_back(',');
    append_json_string(target, frame.members[i].first);
    target.push_back(':');
    target.append(frame.members[i].second);
  }
  target.push_back('}');
  return stack_.empty();
}

}  // namespace quillmarrow
