// One value met inside an input record, as far as decoding needs it: arrays
// and objects only by their kind, strings by a view valid for the current
// reader event.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "json/number.hpp"

namespace quillmarrow {

// Copies a number as its kind and its eight payload bytes, two values. The
// reader has just stored them apart, and copying the whole number as one
// 16-byte block has to wait for both stores to leave the store buffer (a
// failed store-to-load forward): that wait was a quarter of a batch's time.
inline void copy_number(JsonNumber& to, const JsonNumber& from) {
  to.kind = from.kind;
  std::memcpy(&to.unsigned_value, &from.unsigned_value, sizeof to.unsigned_value);
}

struct FieldValue {
  enum class Kind : std::uint8_t { null, boolean, number, string, sequence, map };

  Kind kind = Kind::null;
  bool flag = false;
  JsonNumber number;
  std::string_view text;

  static FieldValue null() { return {}; }
  static FieldValue boolean(bool b) { return {Kind::boolean, b, {}, {}}; }
  static FieldValue number_of(const JsonNumber& n) {
    FieldValue value;
    value.kind = Kind::number;
    copy_number(value.number, n);
    return value;
  }
  static FieldValue string(std::string_view s) { return {Kind::string, false, {}, s}; }
  static FieldValue sequence() { return {Kind::sequence, false, {}, {}}; }
  static FieldValue map() { return {Kind::map, false, {}, {}}; }
};

}  // namespace quillmarrow
