#include "commands/record_errors.hpp"

#include <string>
#include <utility>

namespace quillmarrow {

EngineError invalid_type(const FieldValue& value, std::string_view expected) {
  std::string message = "invalid type: ";
  message += describe_field(value);
  message += ", expected ";
  message += expected;
  return EngineError{std::move(message)};
}

EngineError invalid_length(std::size_t length, std::string_view expected) {
  std::string message = "invalid length ";
  message += std::to_string(length);
  message += ", expected ";
  message += expected;
  return EngineError{std::move(message)};
}

EngineError missing_field(std::string_view field) {
  std::string message = "missing field `";
  message += field;
  message += '`';
  return EngineError{std::move(message)};
}

}  // namespace quillmarrow
