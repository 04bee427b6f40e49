// tier_columns: the storage tier, action and retention of every row.
#include <array>
#include <optional>

#include "boundary/call_frame.hpp"
#include "columns/kernels.hpp"
#include "lib/bulk/buffer_view.hpp"
#include "lib/bulk/column_error.hpp"
#include "lib/bulk/methods.hpp"
#include "lib/bulk/released_lock.hpp"
#include "scoring/records.hpp"

namespace quillmarrow {

namespace {

PyResult<OwnedRef> tier_body(PyObject* const* args, Py_ssize_t count) {
  if (auto error = check_argument_count("tier_columns", count, 10)) return std::move(*error);
  // Declared first, so they are released last, after the lock is back.
  std::array<BufferView, 9> views;
  TierColumns columns;
  Column* numbers[] = {&columns.days_since_recall, &columns.retrieval_count, &columns.importance,
                       &columns.frequency};
  for (std::size_t i = 0; i < 4; ++i) {
    if (auto error = views[i].acquire_input(args[i], kFieldNames[i].data(), *numbers[i])) {
      return std::move(*error);
    }
  }
  std::optional<Column>* flags[] = {&columns.is_procedural, &columns.keep_forever};
  for (std::size_t i = 0; i < 2; ++i) {
    if (args[4 + i] == Py_None) continue;
    Column flag;
    if (auto error = views[4 + i].acquire_input(args[4 + i], kFieldNames[4 + i].data(), flag)) {
      return std::move(*error);
    }
    *flags[i] = flag;
  }
  TierOutputs out;
  std::size_t lengths[3] = {};
  void* data[3] = {};
  const char* names[] = {"retention", "tier", "action"};
  const char formats[] = {'d', 'B', 'B'};
  for (std::size_t i = 0; i < 3; ++i) {
    if (auto error =
            views[6 + i].acquire_output(args[6 + i], names[i], formats[i], lengths[i], data[i])) {
      return std::move(*error);
    }
  }
  if (lengths[1] != lengths[0] || lengths[2] != lengths[0]) {
    return PyErr::deferred(ErrorClass::value_error, "the outputs differ in length");
  }
  out.retention = static_cast<double*>(data[0]);
  out.tier = static_cast<unsigned char*>(data[1]);
  out.action = static_cast<unsigned char*>(data[2]);
  out.length = lengths[0];
  PyResult<std::size_t> threads = thread_count(args[9]);
  if (!threads.ok()) return std::move(threads.error());

  std::optional<ColumnError> failure;
  {
    ReleasedLock unlocked;
    failure = tier_columns(columns, out, threads.value());
  }
  if (failure) return column_error_to_py(std::move(*failure));
  return OwnedRef::borrow(Py_None);
}

PyObject* tier_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t count) {
  return call_frame([&] { return tier_body(args, count); });
}

}  // namespace

PyMethodDef tier_columns_method() {
  return {"tier_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&tier_entry)),
          METH_FASTCALL,
          "tier_columns(days_since_recall, retrieval_count, importance, frequency, is_procedural, "
          "keep_forever, retention, tier, action, threads, /)\n--\n\n"
          "Fills retention (float64), tier and action (uint8 codes) for every row of the\n"
          "columns; is_procedural and keep_forever may be None (false on every row). The\n"
          "rows are shared out over at most `threads` threads (one per 512 rows at most)."};
}

}  // namespace quillmarrow
