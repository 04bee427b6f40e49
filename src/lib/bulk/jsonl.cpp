// tier_jsonl_chunk: one chunk of a JSON Lines export through the engine, with
// the interpreter lock released while the lines are decoded and tiered.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "boundary/call_frame.hpp"
#include "jsonl/jsonl_chunk.hpp"
#include "lib/bulk/buffer_view.hpp"
#include "lib/bulk/column_error.hpp"
#include "lib/bulk/methods.hpp"
#include "lib/bulk/released_lock.hpp"

namespace quillmarrow {

namespace {

// A whole number argument of at least `least`.
PyResult<std::uint64_t> whole_number(PyObject* object, const char* name, std::uint64_t least) {
  if (PyLong_Check(object) == 0) return type_error(std::string(name) + " must be an int");
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    if (memory_error_pending()) return PyErr::fetch();
    PyErr_Clear();
    return value_error(std::string(name) + " is out of range");
  }
  if (value < least) return value_error(std::string(name) + " is out of range");
  return static_cast<std::uint64_t>(value);
}

// The UTF-8 text of a str (valid while the object lives).
PyResult<std::string_view> utf8_of(PyObject* object, const char* what) {
  if (PyUnicode_Check(object) == 0) return type_error(std::string(what) + " must be a str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return PyErr::fetch();
  return std::string_view(text, static_cast<std::size_t>(size));
}

// members: None, or a tuple of one member name per field, in field order.
std::optional<PyErr> members_argument(PyObject* object, JsonlNames& names) {
  if (object == Py_None) return std::nullopt;
  if (PyTuple_Check(object) == 0 ||
      PyTuple_Size(object) != static_cast<Py_ssize_t>(names.members.size())) {
    return type_error("members must be None or a tuple of 6 str, one per field");
  }
  for (std::size_t field = 0; field < names.members.size(); ++field) {
    PyObject* item = PyTuple_GetItem(object, static_cast<Py_ssize_t>(field));
    if (item == nullptr) return PyErr::fetch();
    PyResult<std::string_view> name = utf8_of(item, "each member");
    if (!name.ok()) return std::move(name.error());
    if (name.value().empty()) return value_error("a member name must not be empty");
    names.members[field] = name.value();
  }
  return std::nullopt;
}

// recall: None, or (member, now, unit, max_skew): the member of recall
// times, the Unix seconds days are counted to, the unit of times given as
// numbers and the seconds a time may lie after now.
std::optional<PyErr> recall_argument(PyObject* object, JsonlNames& names) {
  if (object == Py_None) return std::nullopt;
  if (PyTuple_Check(object) == 0 || PyTuple_Size(object) != 4) {
    return type_error("recall must be None or a tuple (member, now, unit, max_skew)");
  }
  PyObject* items[4];
  for (Py_ssize_t i = 0; i < 4; ++i) {
    items[i] = PyTuple_GetItem(object, i);
    if (items[i] == nullptr) return PyErr::fetch();
  }
  PyResult<std::string_view> member = utf8_of(items[0], "the member of recall times");
  if (!member.ok()) return std::move(member.error());
  if (member.value().empty()) return value_error("the member of recall times must not be empty");
  PyResult<std::string_view> unit_name = utf8_of(items[2], "unit");
  if (!unit_name.ok()) return std::move(unit_name.error());
  const std::optional<TimeUnit> unit = time_unit_named(unit_name.value());
  if (!unit) return value_error("unit must be 's', 'ms', 'us' or 'ns'");
  if (PyFloat_Check(items[1]) == 0 || PyFloat_Check(items[3]) == 0) {
    return type_error("now and max_skew must be floats");
  }
  const double now = PyFloat_AsDouble(items[1]);
  const double max_skew = PyFloat_AsDouble(items[3]);
  if (!std::isfinite(now)) return value_error("now must be a finite number of Unix seconds");
  if (!(std::isfinite(max_skew) && max_skew >= 0.0)) {
    return value_error("max_skew must be a finite number of seconds, 0 or more");
  }
  names.recalled_at = member.value();
  names.recall = RecallOptions{now, max_skew, *unit};
  return std::nullopt;
}

PyResult<OwnedRef> bytes_of(const std::string& text) {
  OwnedRef bytes(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!bytes) return PyErr::fetch();
  return bytes;
}

template <std::size_t N>
PyResult<OwnedRef> counts_tuple(const std::array<std::uint64_t, N>& counts) {
  OwnedRef tuple(PyTuple_New(static_cast<Py_ssize_t>(N)));
  if (!tuple) return PyErr::fetch();
  for (std::size_t code = 0; code < N; ++code) {
    PyObject* count = PyLong_FromUnsignedLongLong(counts[code]);
    if (count == nullptr ||
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(code), count) != 0) {
      return PyErr::fetch();
    }
  }
  return tuple;
}

PyResult<OwnedRef> chunk_body(PyObject* const* args, Py_ssize_t count) {
  if (auto error = check_argument_count("tier_jsonl_chunk", count, 11)) return std::move(*error);
  BufferView buffer;
  std::string_view data;
  if (auto error = buffer.acquire_bytes(args[0], "data", data)) return std::move(*error);
  PyResult<std::uint64_t> start = whole_number(args[1], "start", 0);
  if (!start.ok()) return std::move(start.error());
  PyResult<std::uint64_t> end = whole_number(args[2], "end", 0);
  if (!end.ok()) return std::move(end.error());
  if (start.value() > end.value() || end.value() > data.size()) {
    return value_error("start and end must satisfy 0 <= start <= end <= len(data)");
  }
  const int at_end = PyObject_IsTrue(args[3]);
  if (at_end < 0) return PyErr::fetch();
  PyResult<std::uint64_t> first_line = whole_number(args[4], "first_line", 1);
  if (!first_line.ok()) return std::move(first_line.error());
  PyResult<std::uint64_t> max_lines = whole_number(args[5], "max_lines", 1);
  if (!max_lines.ok()) return std::move(max_lines.error());
  JsonlOptions options;
  options.with_id = args[6] != Py_None;
  if (options.with_id) {
    if (PyUnicode_Check(args[6]) == 0) return type_error("id_field must be a str or None");
    PyResult<std::string_view> id_field = utf8_of(args[6], "id_field");
    if (!id_field.ok()) return std::move(id_field.error());
    options.id_field = id_field.value();
  }
  const int set_aside = PyObject_IsTrue(args[7]);
  if (set_aside < 0) return PyErr::fetch();
  options.set_aside_bad_lines = set_aside != 0;
  options.max_lines = max_lines.value() > SIZE_MAX ? SIZE_MAX : max_lines.value();
  if (args[8] != Py_None) {
    PyResult<std::uint64_t> max_line_bytes = whole_number(args[8], "max_line_bytes", 1);
    if (!max_line_bytes.ok()) return std::move(max_line_bytes.error());
    options.max_line_bytes = max_line_bytes.value() > SIZE_MAX ? SIZE_MAX : max_line_bytes.value();
  }
  if (auto error = members_argument(args[9], options.names)) return std::move(*error);
  if (auto error = recall_argument(args[10], options.names)) return std::move(*error);

  const std::string_view bytes = data.substr(start.value(), end.value() - start.value());
  JsonlChunk chunk;
  {
    // The buffer stays exported, and the texts of the id field and the
    // member names belong to the str arguments, while the lock is released.
    ReleasedLock unlocked;
    chunk = tier_jsonl_chunk(bytes, at_end != 0, first_line.value(), options);
  }

  PyResult<OwnedRef> decisions = bytes_of(chunk.decisions);
  if (!decisions.ok()) return std::move(decisions.error());
  PyResult<OwnedRef> errors = bytes_of(chunk.errors);
  if (!errors.ok()) return std::move(errors.error());
  PyResult<OwnedRef> actions = counts_tuple(chunk.actions);
  if (!actions.ok()) return std::move(actions.error());
  std::array<std::uint64_t, kTierCount> per_tier{};
  for (std::size_t code = 0; code < kActionCount; ++code) {
    per_tier[static_cast<std::size_t>(tier_of(static_cast<Action>(code)))] += chunk.actions[code];
  }
  PyResult<OwnedRef> tiers = counts_tuple(per_tier);
  if (!tiers.ok()) return std::move(tiers.error());
  OwnedRef stop = OwnedRef::borrow(Py_None);
  if (chunk.stop) {
    stop = OwnedRef(Py_BuildValue("(Ks#)", static_cast<unsigned long long>(chunk.stop->line),
                                  chunk.stop->message.data(),
                                  static_cast<Py_ssize_t>(chunk.stop->message.size())));
    if (!stop) return PyErr::fetch();
  }
  OwnedRef result(Py_BuildValue(
      "(KKKKOOOOO)", static_cast<unsigned long long>(chunk.consumed),
      static_cast<unsigned long long>(chunk.lines), static_cast<unsigned long long>(chunk.records),
      static_cast<unsigned long long>(chunk.bad_lines), decisions.value().get(),
      errors.value().get(), actions.value().get(), tiers.value().get(), stop.get()));
  if (!result) return PyErr::fetch();
  return result;
}

PyObject* chunk_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t count) {
  return call_frame([&] { return chunk_body(args, count); });
}

}  // namespace

PyMethodDef tier_jsonl_chunk_method() {
  return {"tier_jsonl_chunk",
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&chunk_entry)), METH_FASTCALL,
          "tier_jsonl_chunk(data, start, end, at_end, first_line, max_lines, id_field, "
          "set_aside, max_line_bytes, members, recall, /)\n--\n\n"
          "Tiers the whole lines of data[start:end], at most max_lines of them, numbering\n"
          "them from first_line; a last line without its line feed only when at_end.\n"
          "id_field names the member copied into each decision as \"id\" (None: no ids).\n"
          "A bad line stops the chunk, or with set_aside is written to the errors text; a\n"
          "line longer than max_line_bytes (None: no limit) is a bad line. members (None,\n"
          "or one name per field, in the order of FIELDS) names the members of object\n"
          "records; recall (None, or (member, now, unit, max_skew)) takes their days since\n"
          "recall from the member of recall times instead.\n"
          "Returns (consumed, lines, records, bad_lines, decisions, errors, actions, tiers,\n"
          "stop): bytes taken, lines taken, decisions written, lines set aside, the\n"
          "decisions and the set-aside lines as JSON Lines bytes, the decisions per action\n"
          "code (see ACTIONS) and per tier code (see TIERS), and (line, message) of the bad\n"
          "line that stopped the chunk, or None."};
}

}  // namespace quillmarrow
