// tier_jsonl_chunk: one chunk of a JSON Lines export through the engine, with
// the interpreter lock released while the lines are decoded and tiered.
#include <array>
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

PyErr type_error(std::string message) {
  return PyErr::deferred(ErrorClass::type_error, std::move(message));
}
PyErr value_error(std::string message) {
  return PyErr::deferred(ErrorClass::value_error, std::move(message));
}

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
  if (auto error = check_argument_count("tier_jsonl_chunk", count, 8)) return std::move(*error);
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
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(args[6], &size);
    if (text == nullptr) return PyErr::fetch();
    options.id_field = std::string_view(text, static_cast<std::size_t>(size));
  }
  const int set_aside = PyObject_IsTrue(args[7]);
  if (set_aside < 0) return PyErr::fetch();
  options.set_aside_bad_lines = set_aside != 0;
  options.max_lines = max_lines.value() > SIZE_MAX ? SIZE_MAX : max_lines.value();

  const std::string_view bytes = data.substr(start.value(), end.value() - start.value());
  JsonlChunk chunk;
  {
    // The buffer stays exported, and the id field's text belongs to the str
    // argument, while the lock is released.
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
          "set_aside, /)\n--\n\n"
          "Tiers the whole lines of data[start:end], at most max_lines of them, numbering\n"
          "them from first_line; a last line without its line feed only when at_end.\n"
          "id_field names the member copied into each decision as \"id\" (None: no ids).\n"
          "A bad line stops the chunk, or with set_aside is written to the errors text.\n"
          "Returns (consumed, lines, records, bad_lines, decisions, errors, actions, tiers,\n"
          "stop): bytes taken, lines taken, decisions written, lines set aside, the\n"
          "decisions and the set-aside lines as JSON Lines bytes, the decisions per action\n"
          "code (see ACTIONS) and per tier code (see TIERS), and (line, message) of the bad\n"
          "line that stopped the chunk, or None."};
}

}  // namespace quillmarrow
