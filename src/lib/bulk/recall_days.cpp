// recall_days and time_seconds: recall times of any type to days since
// recall, through the engine's one rule (times/recall_column.hpp), with the
// interpreter lock released while the rows are counted.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/call_frame.hpp"
#include "lib/bulk/buffer_view.hpp"
#include "lib/bulk/column_error.hpp"
#include "lib/bulk/methods.hpp"
#include "lib/bulk/released_lock.hpp"
#include "times/recall_column.hpp"

namespace quillmarrow {

namespace {

// The UTF-8 text of a str argument (valid while the object lives).
PyResult<std::string_view> text_argument(PyObject* object, const char* what) {
  if (PyUnicode_Check(object) == 0) return type_error(std::string(what) + " must be a str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return PyErr::fetch();
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

PyResult<double> float_argument(PyObject* object, const char* what) {
  if (PyFloat_Check(object) == 0) return type_error(std::string(what) + " must be a float");
  return PyFloat_AsDouble(object);
}

PyResult<TimeUnit> unit_argument(PyObject* object) {
  auto name = text_argument(object, "unit");
  if (!name.ok()) return std::move(name.error());
  const auto unit = time_unit_named(name.value());
  if (!unit) return value_error("unit must be 's', 'ms', 'us' or 'ns'");
  return *unit;
}

std::optional<CountUnit> count_unit_named(std::string_view name) {
  if (name == "D") return CountUnit::days;
  if (name == "s") return CountUnit::seconds;
  if (name == "ms") return CountUnit::milliseconds;
  if (name == "us") return CountUnit::microseconds;
  if (name == "ns") return CountUnit::nanoseconds;
  return std::nullopt;
}

// The str items of a list as views (the list keeps them alive while the
// call runs, as the caller holds it).
std::optional<PyErr> list_views(PyObject* list, std::string_view name,
                                std::vector<std::string_view>& views) {
  if (PyList_Check(list) == 0) return type_error("texts must be a list of str");
  const Py_ssize_t size = PyList_Size(list);
  views.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (item == nullptr) return PyErr::fetch();
    std::string prefix = "column '" + std::string(name) + "': row " + std::to_string(i) + " is ";
    if (item == Py_None) return value_error(prefix + "null, not a time");
    if (PyUnicode_Check(item) == 0) {
      OwnedRef type_name(PyType_GetName(Py_TYPE(item)));
      if (!type_name) return PyErr::fetch();
      Py_ssize_t length = 0;
      const char* text = PyUnicode_AsUTF8AndSize(type_name.get(), &length);
      if (text == nullptr) return PyErr::fetch();
      return type_error(prefix + "a " + std::string(text, static_cast<std::size_t>(length)) +
                        ", not a time (a text, number or timestamp)");
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &length);
    if (text == nullptr) return PyErr::fetch();
    views.emplace_back(text, static_cast<std::size_t>(length));
  }
  return std::nullopt;
}

// Texts in Arrow's layout: the data bytes, the offsets (4 or 8 bytes) and
// the first row's index among them; the views hold the buffers.
std::optional<PyErr> arrow_texts(PyObject* data_object, PyObject* offsets_object,
                                 PyObject* first_object, BufferView& data_view,
                                 BufferView& offsets_view, TextColumn& texts) {
  Column data;
  Column offsets;
  if (auto error = data_view.acquire_input(data_object, "data", data)) return error;
  if (auto error = offsets_view.acquire_input(offsets_object, "offsets", offsets)) return error;
  const Py_ssize_t first = PyLong_AsSsize_t(first_object);
  if (first == -1 && PyErr_Occurred() != nullptr) return PyErr::fetch();
  if (data.width != 1 || data.stride != 1 || offsets.kind != ElementKind::signed_integer ||
      (offsets.width != 4 && offsets.width != 8) ||
      offsets.stride != static_cast<std::ptrdiff_t>(offsets.width) || first < 0 ||
      offsets.length < static_cast<std::size_t>(first) + 1) {
    return type_error("texts must be contiguous bytes with 4- or 8-byte offsets");
  }
  texts.data = reinterpret_cast<const char*>(data.data);
  texts.offsets = offsets.data;
  texts.offset_width = offsets.width;
  texts.first = static_cast<std::size_t>(first);
  texts.length = offsets.length - static_cast<std::size_t>(first) - 1;
  if (!texts.offsets_within(data.length)) {
    return value_error("texts: offsets out of order or beyond the data");
  }
  return std::nullopt;
}

// recall_days(kind, values, offsets, first, unit, now, max_skew, name, days, /)
PyResult<OwnedRef> recall_days_body(PyObject* const* args, Py_ssize_t count) {
  if (auto error = check_argument_count("recall_days", count, 9)) return std::move(*error);
  auto kind = text_argument(args[0], "kind");
  if (!kind.ok()) return std::move(kind.error());
  auto name = text_argument(args[7], "name");
  if (!name.ok()) return std::move(name.error());
  auto now = float_argument(args[5], "now");
  if (!now.ok()) return std::move(now.error());
  auto max_skew = float_argument(args[6], "max_skew");
  if (!max_skew.ok()) return std::move(max_skew.error());
  auto unit_text = text_argument(args[4], "unit");
  if (!unit_text.ok()) return std::move(unit_text.error());

  // Declared first, so they are released last, after the lock is back.
  BufferView values_view;
  BufferView offsets_view;
  BufferView days_view;
  std::vector<std::string_view> views;
  RecallColumn column;
  column.name = name.value();
  RecallOptions options{now.value(), max_skew.value(), TimeUnit::seconds};
  if (kind.value() == "counts") {
    const auto unit = count_unit_named(unit_text.value());
    if (!unit) return value_error("unit must be 'D', 's', 'ms', 'us' or 'ns'");
    column.kind = RecallColumn::Kind::counts;
    column.count_unit = *unit;
    if (auto error = values_view.acquire_input(args[1], column.name, column.values)) {
      return std::move(*error);
    }
    if (column.values.kind != ElementKind::signed_integer || column.values.width != 8) {
      return type_error("counts must be 8-byte signed integers");
    }
  } else {
    auto unit = unit_argument(args[4]);
    if (!unit.ok()) return std::move(unit.error());
    options.unit = unit.value();
    if (kind.value() == "numbers") {
      column.kind = RecallColumn::Kind::numbers;
      if (auto error = values_view.acquire_input(args[1], column.name, column.values)) {
        return std::move(*error);
      }
    } else if (kind.value() == "texts") {
      column.kind = RecallColumn::Kind::texts;
      if (args[2] == Py_None) {
        if (auto error = list_views(args[1], column.name, views)) return std::move(*error);
        column.texts.views = views.data();
        column.texts.length = views.size();
      } else {
        if (auto error =
                arrow_texts(args[1], args[2], args[3], values_view, offsets_view, column.texts)) {
          return std::move(*error);
        }
      }
    } else {
      return value_error("kind must be 'counts', 'numbers' or 'texts'");
    }
  }
  std::size_t length = 0;
  void* out = nullptr;
  if (auto error = days_view.acquire_output(args[8], "days", 'd', length, out)) {
    return std::move(*error);
  }
  if (length != column.length()) {
    return value_error("days has " + std::to_string(length) + " rows, the times " +
                       std::to_string(column.length()));
  }
  std::optional<ColumnError> failure;
  {
    ReleasedLock unlocked;
    failure = days_since_column(column, options, static_cast<double*>(out));
  }
  if (failure) return column_error_to_py(std::move(*failure));
  return OwnedRef::borrow(Py_None);
}

PyObject* recall_days_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return call_frame([&] { return recall_days_body(args, count); });
}

// text_numbers(data, offsets, first, name, out, /): decimal number texts
// (Arrow's layout) to their nearest doubles.
PyObject* text_numbers_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return call_frame([&]() -> PyResult<OwnedRef> {
    if (auto error = check_argument_count("text_numbers", count, 5)) return std::move(*error);
    auto name = text_argument(args[3], "name");
    if (!name.ok()) return std::move(name.error());
    BufferView data_view;
    BufferView offsets_view;
    BufferView out_view;
    TextColumn texts;
    if (auto error = arrow_texts(args[0], args[1], args[2], data_view, offsets_view, texts)) {
      return std::move(*error);
    }
    std::size_t length = 0;
    void* out = nullptr;
    if (auto error = out_view.acquire_output(args[4], "out", 'd', length, out)) {
      return std::move(*error);
    }
    if (length != texts.length) return value_error("out must have one element per text");
    std::optional<ColumnError> failure;
    {
      ReleasedLock unlocked;
      failure = numbers_from_texts(name.value(), texts, static_cast<double*>(out));
    }
    if (failure) return column_error_to_py(std::move(*failure));
    return OwnedRef::borrow(Py_None);
  });
}

// time_seconds(text, unit, /): Unix seconds of one time text.
PyObject* time_seconds_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return call_frame([&]() -> PyResult<OwnedRef> {
    if (auto error = check_argument_count("time_seconds", count, 2)) return std::move(*error);
    auto text = text_argument(args[0], "text");
    if (!text.ok()) return std::move(text.error());
    auto unit = unit_argument(args[1]);
    if (!unit.ok()) return std::move(unit.error());
    double seconds = 0.0;
    if (!time_text_seconds(text.value(), unit.value(), seconds)) {
      return value_error("not a time: ISO-8601 (2025-06-15T12:00:00Z, 2025-06-15) or a number");
    }
    return OwnedRef(PyFloat_FromDouble(seconds));
  });
}

}  // namespace

std::array<PyMethodDef, 3> recall_methods() {
  return {
      PyMethodDef{"recall_days",
                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&recall_days_entry)),
                  METH_FASTCALL,
                  "recall_days(kind, values, offsets, first, unit, now, max_skew, name, days, /)\n"
                  "--\n\n"
                  "Fills days (float64) with the days since recall of every row. kind 'counts':\n"
                  "int64 counts of unit 'D', 's', 'ms', 'us' or 'ns' since 1970; 'numbers': any\n"
                  "numbers of unit 's', 'ms', 'us' or 'ns'; 'texts': ISO-8601 or numbers of the\n"
                  "unit, as Arrow's bytes and offsets from row `first`, or a list of str with\n"
                  "offsets None."},
      PyMethodDef{"time_seconds",
                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&time_seconds_entry)),
                  METH_FASTCALL,
                  "time_seconds(text, unit, /)\n--\n\n"
                  "Unix seconds of an ISO-8601 text, or of a number text of the unit."},
      PyMethodDef{"text_numbers",
                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&text_numbers_entry)),
                  METH_FASTCALL,
                  "text_numbers(data, offsets, first, name, out, /)\n--\n\n"
                  "Fills out (float64) with the nearest double of every decimal number text\n"
                  "(Arrow's bytes and offsets from row `first`)."},
  };
}

}  // namespace quillmarrow
