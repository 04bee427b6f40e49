// Reader events of a payload that is one whole record ("score", "tier").
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "json/reader_core.hpp"
#include "records/engine_error.hpp"
#include "records/record_reader.hpp"
#include "results/result_text.hpp"

namespace quillmarrow {

class SingleRecordHandler : public RecordEvents<SingleRecordHandler> {
 public:
  explicit SingleRecordHandler(const RecordShape& shape) : record_(shape) {}

  const RecordReader& record() const { return record_; }

  void key(std::string_view k) { record_.key(k); }
  const char* known_key(const char* p, const char* end) { return record_.known_key(p, end); }
  void end() { record_.end_container(); }
  void scalar(const FieldValue& value) {
    if (record_.open()) {
      record_.scalar(value);
    } else {
      record_.scalar_record(value);
    }
  }
  void begin(bool is_array) {
    if (record_.open()) {
      record_.begin_container(is_array);
    } else {
      record_.begin(is_array);
    }
  }

 private:
  RecordReader record_;
};

// Reads the payload as one record of the given shape and, when it decodes,
// returns the success envelope around write_result(slots, p), which writes
// the result text at p (kResultTextRoom bytes) and returns its end. The
// whole text is assembled in a local buffer and the result made from it in
// one allocation and one copy.
template <class WriteResult>
CommandResult run_single_record(std::string_view payload, const RecordShape& shape,
                                WriteResult write_result) {
  SingleRecordHandler handler(shape);
  if (std::optional<JsonError> error = read_json(payload, handler)) {
    return EngineError{error_message(*error)};
  }
  if (std::optional<EngineError> error = handler.record().finish()) return std::move(*error);
  char text[kEnvelopeHead.size() + kResultTextRoom + kEnvelopeTail.size()];
  std::memcpy(text, kEnvelopeHead.data(), kEnvelopeHead.size());
  char* p = write_result(handler.record().slots(), text + kEnvelopeHead.size());
  std::memcpy(p, kEnvelopeTail.data(), kEnvelopeTail.size());
  p += kEnvelopeTail.size();
  return std::string(text, p);
}

}  // namespace quillmarrow
