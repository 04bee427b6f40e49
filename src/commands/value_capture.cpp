#include "commands/value_capture.hpp"

#include <utility>

#include "json/writer.hpp"

namespace quillmarrow {

namespace {

JsonValue to_value(const FieldValue& value) {
  switch (value.kind) {
    case FieldValue::Kind::boolean:
      return JsonValue(value.flag);
    case FieldValue::Kind::number:
      return JsonValue(value.number);
    case FieldValue::Kind::string:
      return JsonValue(std::string(value.text));
    case FieldValue::Kind::null:
    case FieldValue::Kind::sequence:
    case FieldValue::Kind::map:
      break;
  }
  return JsonValue(JsonNull{});
}

}  // namespace

void ValueCapture::write_scalar(std::string& out, const FieldValue& value) {
  append_json(out, to_value(value));
}

void ValueCapture::begin(bool is_array) {
  stack_.emplace_back();
  stack_.back().is_array = is_array;
}

void ValueCapture::key(std::string_view key) {
  stack_.back().key.assign(key);
}

void ValueCapture::scalar(const FieldValue& value) {
  add(to_value(value));
}

bool ValueCapture::end(std::string& out) {
  Frame frame = std::move(stack_.back());
  stack_.pop_back();
  JsonValue value = frame.is_array ? JsonValue(std::move(frame.elements))
                                   : JsonValue(JsonObject::from_members(std::move(frame.members)));
  if (!stack_.empty()) {
    add(std::move(value));
    return false;
  }
  append_json(out, value);
  return true;
}

void ValueCapture::add(JsonValue value) {
  Frame& frame = stack_.back();
  if (frame.is_array) {
    frame.elements.push_back(std::move(value));
  } else {
    frame.members.push_back(JsonMember{std::move(frame.key), std::move(value)});
    frame.key.clear();
  }
}

}  // namespace quillmarrow
