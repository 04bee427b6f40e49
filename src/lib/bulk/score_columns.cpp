// score_columns: the retention, stability and boost of every row.
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

PyResult<OwnedRef> score_body(PyObject* const* args, Py_ssize_t count) {
  if (auto error = check_argument_count("score_columns", count, 8)) return std::move(*error);
  // Declared first, so they are released last, after the lock is back.
  std::array<BufferView, 7> views;
  ScoreColumns columns;
  Column* numbers[] = {&columns.days_since_recall, &columns.retrieval_count, &columns.importance,
                       &columns.frequency};
  for (std::size_t i = 0; i < 4; ++i) {
    if (auto error = views[i].acquire_input(args[i], kFieldNames[i].data(), *numbers[i])) {
      return std::move(*error);
    }
  }
  std::size_t lengths[3] = {};
  void* data[3] = {};
  const char* names[] = {"retention", "stability", "boost"};
  for (std::size_t i = 0; i < 3; ++i) {
    if (auto error = views[4 + i].acquire_output(args[4 + i], names[i], 'd', lengths[i], data[i])) {
      return std::move(*error);
    }
  }
  if (lengths[1] != lengths[0] || lengths[2] != lengths[0]) {
    return PyErr::deferred(ErrorClass::value_error, "the outputs differ in length");
  }
  const ScoreOutputs out{static_cast<double*>(data[0]), static_cast<double*>(data[1]),
                         static_cast<double*>(data[2]), lengths[0]};
  PyResult<std::size_t> threads = thread_count(args[7]);
  if (!threads.ok()) return std::move(threads.error());

  std::optional<ColumnError> failure;
  {
    ReleasedLock unlocked;
    failure = score_columns(columns, out, threads.value());
  }
  if (failure) return column_error_to_py(std::move(*failure));
  return OwnedRef::borrow(Py_None);
}

PyObject* score_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t count) {
  return call_frame([&] { return score_body(args, count); });
}

}  // namespace

PyMethodDef score_columns_method() {
  return {"score_columns",
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&score_entry)), METH_FASTCALL,
          "score_columns(days_since_recall, retrieval_count, importance, frequency, retention, "
          "stability, boost, threads, /)\n--\n\n"
          "Fills retention, stability and boost (float64) for every row of the columns,\n"
          "over at most `threads` threads (one per 512 rows at most)."};
}

}  // namespace quillmarrow
