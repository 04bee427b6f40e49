// Decodes one input record from the reader's events, without a value tree.
//
// The handler of a command hands over the events that belong to the record:
// the record's own value first (begin, or scalar_record for a value that is
// neither an array nor an object), then everything inside it until the
// record's closing bracket. Nested arrays and objects are only noted by kind;
// their contents are read for syntax by the reader and otherwise ignored.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "records/record_errors.hpp"
#include "records/record_slots.hpp"

namespace quillmarrow {

class RecordReader {
 public:
  explicit RecordReader(const RecordShape& shape) : slots_(shape) {}

  // The record's value opens: an array (array form) or an object.
  void begin(bool is_array) {
    slots_.clear();
    is_array_ = is_array;
    depth_ = 1;
    field_ = kNoField;
    length_ = 0;
    error_.reset();
  }
  // The record's value is neither an array nor an object.
  void scalar_record(const FieldValue& value) {
    depth_ = 0;
    error_ = invalid_type(value, slots_.shape().expected);
  }

  // Whether events still belong to the record.
  bool open() const { return depth_ > 0; }

  void key(std::string_view key) {
    if (depth_ == 1 && !is_array_) field_ = slots_.field_index(key);
  }
  // A key the caller has resolved to a field itself (kNoField: none), for
  // records whose members are named otherwise than the fields.
  void field_key(std::size_t field) {
    if (depth_ == 1 && !is_array_) field_ = field;
  }
  // A number field given from outside the record's text (a day count
  // worked out from another member), as if the record held it.
  void supply(std::size_t field, double value) { slots_.set_number(field, value); }
  // The reader's known_key, for a key of the record's own object; see
  // JsonReader.
  const char* known_key(const char* p, const char* end) {
    if (depth_ != 1 || is_array_) return nullptr;
    const RecordSlots::NameAt name = slots_.field_name_at(p, end);
    if (name.length == 0) return nullptr;
    field_ = name.field;
    return p + name.length + 1;
  }
  void scalar(const FieldValue& value) {
    if (depth_ == 1) field(value);
  }
  void begin_container(bool is_array) {
    if (depth_ == 1) field(is_array ? FieldValue::sequence() : FieldValue::map());
    ++depth_;
  }
  // Returns true when this closes the record itself.
  bool end_container() { return --depth_ == 0; }

  // After the record closed: its decoding error, if any.
  std::optional<EngineError> finish() const {
    if (error_) return error_;
    return is_array_ ? slots_.finish_array(length_) : slots_.finish_object();
  }
  const RecordSlots& slots() const { return slots_; }

 private:
  void field(const FieldValue& value) {
    if (is_array_) {
      if (!error_) error_ = slots_.set_element(length_, value);
      ++length_;
    } else {
      if (field_ != kNoField) slots_.set(field_, value);
      field_ = kNoField;
    }
  }

  RecordSlots slots_;
  bool is_array_ = false;
  int depth_ = 0;
  std::size_t field_ = kNoField;
  std::size_t length_ = 0;
  std::optional<EngineError> error_;
};

// The reader's value events as a command's handler sees them: every value
// that is not an array or object arrives at Derived::scalar as a FieldValue,
// openings at Derived::begin(is_array) and closings at Derived::end().
template <class Derived>
class RecordEvents {
 public:
  void null_value() { self().scalar(FieldValue::null()); }
  void bool_value(bool b) { self().scalar(FieldValue::boolean(b)); }
  void number_value(const JsonNumber& n) { self().scalar(FieldValue::number_of(n)); }
  void string_value(std::string_view s) { self().scalar(FieldValue::string(s)); }
  void begin_array() { self().begin(true); }
  void begin_object() { self().begin(false); }
  void end_array() { self().end(); }
  void end_object() { self().end(); }

 private:
  Derived& self() { return static_cast<Derived&>(*this); }
};

}  // namespace quillmarrow
