// Captures one value from the reader's events and writes it back as compact
// JSON text: no blanks, object members in ascending byte order of their keys,
// a repeated key kept with its last value, strings escaped and numbers in
// their own representation (1 stays 1; 1.0, 1e0 and 1E0 are the double 1.0).
// Used for the item id copied into a decision.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "records/field_value.hpp"

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
  // An array or object still open: an array's text so far, or an object's
  // members (key and value text) in text order.
  struct Frame {
    bool is_array = false;
    std::string text;
    std::vector<std::pair<std::string, std::string>> members;
    std::string key;
  };
  // Where the next value of the innermost frame is written.
  std::string& next_value();

  std::vector<Frame> stack_;
};

}  // namespace quillmarrow
