// Captures one value from the reader's events and writes it back as compact
// JSON with the engine's writer: members in key order, a repeated key kept
// with its last value, numbers in their own representation (1 stays 1, 1.0
// and 1e0 are the double 1.0). Used for the item id copied into a decision.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "commands/record_slots.hpp"
#include "json/value.hpp"

namespace quillmarrow {

class ValueCapture {
 public:
  // Whether an array or object is being captured (its events still come).
  bool open() const { return !stack_.empty(); }

  // A value that is neither an array nor an object: written at once into out.
  static void write_scalar(std::string& out, const FieldValue& value);

  // Events of an array or object value, from its opening to its closing.
  void begin(bool is_array);
  void key(std::string_view key);
  void scalar(const FieldValue& value);
  // Returns true when this closes the captured value; its compact text has
  // then been written into out.
  bool end(std::string& out);

  void clear() { stack_.clear(); }

 private:
  struct Frame {
    bool is_array = false;
    JsonArray elements;
    std::vector<JsonMember> members;
    std::string key;
  };
  void add(JsonValue value);

  std::vector<Frame> stack_;
};

}  // namespace quillmarrow
