#include "commands/commands.hpp"
#include "json/reader_core.hpp"

namespace quillmarrow {

namespace {

// Reads for syntax only: every event is ignored.
struct IgnoreEvents {
  void null_value() {}
  void bool_value(bool) {}
  void number_value(const JsonNumber&) {}
  void string_value(std::string_view) {}
  void begin_array() {}
  void end_array() {}
  void begin_object() {}
  void key(std::string_view) {}
  void end_object() {}
};

}  // namespace

std::optional<JsonError> check_syntax(std::string_view payload) {
  IgnoreEvents handler;
  return read_json(payload, handler);
}

}  // namespace quillmarrow
