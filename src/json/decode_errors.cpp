// Decoding errors: a well-formed value of the wrong shape for an input
// record. They carry no position (line 0, column 0).
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "json/error.hpp"

namespace quillmarrow {
namespace {

JsonError decoding_error(std::string message) {
  JsonError error;
  error.kind = std::move(message);
  return error;
}

}  // namespace

JsonError invalid_type(const JsonValue& value, std::string_view expected) {
  std::string message = "invalid type: ";
  message += describe_value(value);
  message += ", expected ";
  message += expected;
  return decoding_error(std::move(message));
}

JsonError invalid_length(std::size_t length, std::string_view expected) {
  std::string message = "invalid length ";
  message += std::to_string(length);
  message += ", expected ";
  message += expected;
  return decoding_error(std::move(message));
}

JsonError missing_field(std::string_view field) {
  std::string message = "missing field `";
  message += field;
  message += '`';
  return decoding_error(std::move(message));
}

}  // namespace quillmarrow
