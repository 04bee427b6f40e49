#include "reference/value.hpp"

#include <algorithm>
#include <cmath>

namespace quillmarrow {

JsonValue JsonValue::from_double(double d) {
  if (!std::isfinite(d)) return JsonValue(JsonNull{});
  return JsonValue(JsonNumber::from_double(d));
}

namespace {
bool key_less(std::string_view a, std::string_view b) {
  // std::string_view compares with char_traits<char>, which orders bytes as
  // unsigned char: ascending unsigned byte order, shorter prefix first.
  return a < b;
}
}  // namespace

JsonObject JsonObject::from_members(std::vector<JsonMember> members) {
  JsonObject object;
  // A stable sort keeps repeated keys in text order; the last of each run wins.
  std::stable_sort(members.begin(), members.end(),
                   [](const JsonMember& a, const JsonMember& b) { return key_less(a.key, b.key); });
  std::size_t out = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (out > 0 && members[out - 1].key == members[i].key) {
      members[out - 1].value = std::move(members[i].value);
    } else {
      if (out != i) members[out] = std::move(members[i]);
      ++out;
    }
  }
  members.resize(out);
  object.members_ = std::move(members);
  return object;
}

void JsonObject::insert(std::string key, JsonValue value) {
  auto it = std::lower_bound(
      members_.begin(), members_.end(), key,
      [](const JsonMember& m, const std::string& k) { return key_less(m.key, k); });
  if (it != members_.end() && it->key == key) {
    it->value = std::move(value);
  } else {
    members_.insert(it, JsonMember{std::move(key), std::move(value)});
  }
}

const JsonValue* JsonObject::find(std::string_view key) const {
  auto it =
      std::lower_bound(members_.begin(), members_.end(), key,
                       [](const JsonMember& m, std::string_view k) { return key_less(m.key, k); });
  if (it != members_.end() && it->key == key) return &it->value;
  return nullptr;
}

bool operator==(const JsonObject& a, const JsonObject& b) {
  return a.members_ == b.members_;
}

}  // namespace quillmarrow
