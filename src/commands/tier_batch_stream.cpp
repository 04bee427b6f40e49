#include "commands/tier_batch_stream.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "commands/decision_text.hpp"
#include "commands/records.hpp"
#include "commands/tier_field_slots.hpp"
#include "json/error.hpp"
#include "json/reader_core.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {

namespace {

constexpr std::string_view kEnvelopeHead = R"({"ok":true,"result":{"decisions":[)";
constexpr std::string_view kEnvelopeTail = "]}}";

// Depths of the reader's nesting as this handler counts them: 1 inside the
// top-level object, 2 inside the "items" array, 3 inside one element.
constexpr int kTopDepth = 1;
constexpr int kItemsDepth = 2;
constexpr int kElementDepth = 3;

class TierBatchHandler {
 public:
  TierBatchHandler() {
    output_.reserve(256);
    output_.append(kEnvelopeHead);
  }

  void null_value() { scalar(FieldValue::null()); }
  void bool_value(bool b) { scalar(FieldValue::boolean(b)); }
  void number_value(const JsonNumber& n) { scalar(FieldValue::number_of(n)); }
  void string_value(std::string_view s) {
    // A string is only ever kept to be quoted in an error message, so it is
    // copied only where it lands in a known field of an element.
    scalar(FieldValue::string(s));
  }

  void begin_array() { container(FieldValue::sequence(), /*is_array=*/true); }
  void begin_object() { container(FieldValue::map(), /*is_array=*/false); }
  void end_array() { close(); }
  void end_object() { close(); }

  void key(std::string_view k) {
    if (depth_ == kTopDepth) {
      items_key_pending_ = (k == "items");
    } else if (depth_ == kElementDepth && in_items_ && element_ == Element::object) {
      field_ = tier_field_index(k);
    }
  }

  CommandResult finish() && {
    if (!top_is_object_ || items_ != Items::array) {
      return EngineError{"missing required field: items"};
    }
    if (first_error_) return EngineError{error_message(*first_error_)};
    output_.append(kEnvelopeTail);
    return std::move(output_);
  }

 private:
  enum class Items : std::uint8_t { absent, not_array, array };
  enum class Element : std::uint8_t { none, object, array };

  bool collecting() const { return in_items_ && !first_error_; }

  // A value that is not an array or object: at the top level it is the
  // "items" member's value (not an array) or ignored; directly inside
  // "items" it is an element that is not a record; inside an element it is a
  // field.
  void scalar(FieldValue value) {
    if (depth_ == kTopDepth) {
      take_top_value(/*is_array=*/false);
    } else if (depth_ == kItemsDepth && in_items_) {
      if (collecting()) {
        first_error_ = invalid_type(value.to_json(), "struct TierInput");
      }
    } else if (depth_ == kElementDepth && collecting()) {
      field(std::move(value));
    }
  }

  void container(FieldValue placeholder, bool is_array) {
    if (depth_ == 0) {
      top_is_object_ = !is_array;
    } else if (depth_ == kTopDepth) {
      if (take_top_value(is_array)) {
        in_items_ = true;
        items_ = Items::array;
      }
    } else if (depth_ == kItemsDepth && in_items_) {
      element_ = is_array ? Element::array : Element::object;
      slots_.clear();
      field_ = kNoField;
      element_length_ = 0;
    } else if (depth_ == kElementDepth && collecting()) {
      // An array or object inside an element can only be a wrongly typed
      // field; its contents are read for syntax and otherwise ignored.
      field(std::move(placeholder));
    }
    ++depth_;
  }

  void close() {
    --depth_;
    if (depth_ == kItemsDepth && in_items_) {
      if (collecting()) finish_element();
      element_ = Element::none;
    } else if (depth_ == kTopDepth && in_items_) {
      in_items_ = false;
    }
  }

  // The value of a top-level member. Only the last "items" member counts, so
  // each one starts the batch afresh. Returns whether an "items" array opens.
  bool take_top_value(bool is_array) {
    if (!items_key_pending_) return false;
    items_key_pending_ = false;
    output_.resize(kEnvelopeHead.size());
    first_error_.reset();
    decisions_ = 0;
    items_ = is_array ? Items::array : Items::not_array;
    return is_array;
  }

  void field(FieldValue value) {
    if (element_ == Element::object) {
      if (field_ != kNoField) slots_.set(field_, std::move(value));
      field_ = kNoField;
    } else {
      if (std::optional<JsonError> error = slots_.set_element(element_length_, std::move(value))) {
        first_error_ = std::move(error);
      }
      ++element_length_;
    }
  }

  void finish_element() {
    std::variant<TierInput, JsonError> decoded =
        element_ == Element::object ? slots_.finish_object() : slots_.finish_array(element_length_);
    if (JsonError* error = std::get_if<JsonError>(&decoded)) {
      first_error_ = std::move(*error);
      return;
    }
    if (decisions_ > 0) output_.push_back(',');
    append_tier_decision(output_, classify_tier(std::get<TierInput>(decoded)));
    ++decisions_;
  }

  std::string output_;
  int depth_ = 0;
  bool top_is_object_ = false;
  bool items_key_pending_ = false;
  bool in_items_ = false;
  Items items_ = Items::absent;
  Element element_ = Element::none;
  TierFieldSlots slots_;
  std::size_t field_ = kNoField;
  std::size_t element_length_ = 0;
  std::size_t decisions_ = 0;
  std::optional<JsonError> first_error_;
};

}  // namespace

CommandResult run_tier_batch_stream(std::string_view payload) {
  TierBatchHandler handler;
  if (std::optional<JsonError> error = read_json(payload, handler)) {
    return EngineError{error_message(*error)};
  }
  return std::move(handler).finish();
}

}  // namespace quillmarrow
