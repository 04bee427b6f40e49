// The reference road's JSON value tree. What ships never builds one: the
// commands decode records straight from the reader's events. The tests and
// the fuzz targets parse whole payloads into trees (parse.hpp), decode
// records from them (records.hpp) and write them back (write.hpp), to check
// the engine's answers against a second, independent road.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json/number.hpp"

namespace quillmarrow {

struct JsonValue;
struct JsonMember;
using JsonArray = std::vector<JsonValue>;

// A map with unique keys kept in ascending unsigned byte order; inserting a
// key that is already present replaces its value.
class JsonObject {
 public:
  // The special members are defined below JsonMember, where the member type
  // is complete (clang instantiates std::vector's constexpr members eagerly).
  JsonObject();
  JsonObject(const JsonObject&);
  JsonObject(JsonObject&&) noexcept;
  JsonObject& operator=(const JsonObject&);
  JsonObject& operator=(JsonObject&&) noexcept;
  ~JsonObject();
  // Builds an object from members in text order: a repeated key keeps the
  // value written last. Sorting once is O(n log n) however many members.
  static JsonObject from_members(std::vector<JsonMember> members);

  void insert(std::string key, JsonValue value);
  const JsonValue* find(std::string_view key) const;
  std::size_t size() const;
  bool empty() const;
  std::vector<JsonMember>::const_iterator begin() const;
  std::vector<JsonMember>::const_iterator end() const;

  friend bool operator==(const JsonObject& a, const JsonObject& b);

 private:
  std::vector<JsonMember> members_;
};

struct JsonNull {
  friend bool operator==(JsonNull, JsonNull) { return true; }
};

struct JsonValue {
  // Order of the alternatives is the kind's index: null, boolean, number,
  // string, array, object.
  std::variant<JsonNull, bool, JsonNumber, std::string, JsonArray, JsonObject> data;

  JsonValue() = default;
  JsonValue(JsonNull) {}
  explicit JsonValue(bool b) : data(b) {}
  explicit JsonValue(JsonNumber n) : data(n) {}
  explicit JsonValue(std::string s) : data(std::move(s)) {}
  explicit JsonValue(JsonArray a) : data(std::move(a)) {}
  explicit JsonValue(JsonObject o) : data(std::move(o)) {}

  // A finite double becomes a number; NaN and infinities become null, so a
  // written document never holds a non-finite number.
  static JsonValue from_double(double d);

  bool is_null() const { return std::holds_alternative<JsonNull>(data); }
  const bool* as_bool() const { return std::get_if<bool>(&data); }
  const JsonNumber* as_number() const { return std::get_if<JsonNumber>(&data); }
  const std::string* as_string() const { return std::get_if<std::string>(&data); }
  const JsonArray* as_array() const { return std::get_if<JsonArray>(&data); }
  const JsonObject* as_object() const { return std::get_if<JsonObject>(&data); }

  friend bool operator==(const JsonValue& a, const JsonValue& b) { return a.data == b.data; }
};

struct JsonMember {
  std::string key;
  JsonValue value;
  friend bool operator==(const JsonMember& a, const JsonMember& b) {
    return a.key == b.key && a.value == b.value;
  }
};

inline JsonObject::JsonObject() = default;
inline JsonObject::JsonObject(const JsonObject&) = default;
inline JsonObject::JsonObject(JsonObject&&) noexcept = default;
inline JsonObject& JsonObject::operator=(const JsonObject&) = default;
inline JsonObject& JsonObject::operator=(JsonObject&&) noexcept = default;
inline JsonObject::~JsonObject() = default;
inline std::size_t JsonObject::size() const {
  return members_.size();
}
inline bool JsonObject::empty() const {
  return members_.empty();
}
inline std::vector<JsonMember>::const_iterator JsonObject::begin() const {
  return members_.begin();
}
inline std::vector<JsonMember>::const_iterator JsonObject::end() const {
  return members_.end();
}

}  // namespace quillmarrow
