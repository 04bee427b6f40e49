// One value met inside an input record, as far as decoding needs it: arrays
// and objects only by their kind, strings by a view valid for the current
// reader event.
#pragma once

#include <cstdint>
#include <string_view>

#include "json/number.hpp"

namespace quillmarrow {

struct FieldValue {
  enum class Kind : std::uint8_t { null, boolean, number, string, sequence, map };

  Kind kind = Kind::null;
  bool flag = false;
  JsonNumber number;
  std::string_view text;

  static FieldValue null() { return {}; }
  static FieldValue boolean(bool b) { return {Kind::boolean, b, {}, {}}; }
  static FieldValue number_of(const JsonNumber& n) { return {Kind::number, false, n, {}}; }
  static FieldValue string(std::string_view s) { return {Kind::string, false, {}, s}; }
  static FieldValue sequence() { return {Kind::sequence, false, {}, {}}; }
  static FieldValue map() { return {Kind::map, false, {}, {}}; }
};

}  // namespace quillmarrow
