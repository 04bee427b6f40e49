// write_json: compact text of a value tree, from the JSON layer's own number
// and string writers.
#include "reference/write.hpp"

#include <string>
#include <variant>

#include "json/writer.hpp"

namespace quillmarrow {
namespace {

struct ValueWriter {
  std::string& out;

  void operator()(JsonNull) const { out.append("null", 4); }
  void operator()(bool b) const {
    if (b) {
      out.append("true", 4);
    } else {
      out.append("false", 5);
    }
  }
  void operator()(const JsonNumber& n) const { append_json_number(out, n); }
  void operator()(const std::string& s) const { append_json_string(out, s); }
  void operator()(const JsonArray& a) const {
    out.push_back('[');
    bool first = true;
    for (const JsonValue& element : a) {
      if (!first) out.push_back(',');
      first = false;
      append_json(out, element);
    }
    out.push_back(']');
  }
  void operator()(const JsonObject& o) const {
    out.push_back('{');
    bool first = true;
    for (const JsonMember& member : o) {
      if (!first) out.push_back(',');
      first = false;
      append_json_string(out, member.key);
      out.push_back(':');
      append_json(out, member.value);
    }
    out.push_back('}');
  }
};

}  // namespace

void append_json(std::string& out, const JsonValue& value) {
  std::visit(ValueWriter{out}, value.data);
}

std::string write_json(const JsonValue& value) {
  std::string out;
  // std::string at least doubles its capacity whenever an append overflows it.
  out.reserve(128);
  append_json(out, value);
  return out;
}

}  // namespace quillmarrow
