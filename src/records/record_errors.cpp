#include "records/record_errors.hpp"

#include <string>
#include <utility>

#include "contract/texts.hpp"

namespace quillmarrow {

EngineError invalid_type(const FieldValue& value, std::string_view expected) {
  std::string message(texts::kInvalidType);
  message += describe_field(value);
  message += texts::kExpected;
  message += expected;
  return EngineError{std::move(message)};
}

EngineError invalid_length(std::size_t length, std::string_view expected) {
  std::string message(texts::kInvalidLength);
  message += std::to_string(length);
  message += texts::kExpected;
  message += expected;
  return EngineError{std::move(message)};
}

EngineError missing_field(std::string_view field) {
  std::string message(texts::kMissingField);
  message += field;
  message += '`';
  return EngineError{std::move(message)};
}

}  // namespace quillmarrow
