// parse_json: the reader's events assembled into a JsonValue tree.
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "json/reader_core.hpp"
#include "reference/parse.hpp"

namespace quillmarrow {
namespace {

// Builds the tree bottom-up. The elements of every open array wait on one
// shared stack of values, the members of every open object on one shared
// stack of members; closing a container moves its own tail of the stack into
// a container of exactly the right size. Objects are sorted once when they
// close, so even a million members cost O(n log n).
class TreeBuilder {
 public:
  void null_value() { put(JsonValue(JsonNull{})); }
  void bool_value(bool value) { put(JsonValue(value)); }
  void number_value(const JsonNumber& number) { put(JsonValue(number)); }
  void string_value(std::string_view contents) { put(JsonValue(std::string(contents))); }

  void begin_array() { open_.push_back(OpenContainer{false, values_.size()}); }
  void end_array() {
    const std::size_t first = open_.back().first;
    open_.pop_back();
    JsonArray elements(
        std::make_move_iterator(values_.begin() + static_cast<std::ptrdiff_t>(first)),
        std::make_move_iterator(values_.end()));
    values_.resize(first);
    put(JsonValue(std::move(elements)));
  }

  void begin_object() { open_.push_back(OpenContainer{true, members_.size()}); }
  // The member's value arrives with the next value event.
  void key(std::string_view contents) {
    members_.push_back(JsonMember{std::string(contents), JsonValue()});
  }
  void end_object() {
    const std::size_t first = open_.back().first;
    open_.pop_back();
    std::vector<JsonMember> members(
        std::make_move_iterator(members_.begin() + static_cast<std::ptrdiff_t>(first)),
        std::make_move_iterator(members_.end()));
    members_.resize(first);
    put(JsonValue(JsonObject::from_members(std::move(members))));
  }

  JsonValue take_root() { return std::move(root_); }

 private:
  struct OpenContainer {
    bool is_object;
    std::size_t first;  // index of its first element or member on the stack
  };

  void put(JsonValue value) {
    if (open_.empty()) {
      root_ = std::move(value);
    } else if (open_.back().is_object) {
      members_.back().value = std::move(value);
    } else {
      values_.push_back(std::move(value));
    }
  }

  std::vector<OpenContainer> open_;
  std::vector<JsonValue> values_;
  std::vector<JsonMember> members_;
  JsonValue root_;
};

}  // namespace

ParseResult parse_json(std::string_view text) {
  TreeBuilder builder;
  if (std::optional<JsonError> error = read_json(text, builder)) return std::move(*error);
  return builder.take_root();
}

}  // namespace quillmarrow
