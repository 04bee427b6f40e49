// The row-at-a-time functions behind quillmarrow_engine.sqlite: one item's
// numbers through the engine's scoring functions, for SQLite to call once
// per row with no Python frame between. A None argument gives None; the
// texts are exactly the "result" member that run('score') and run('tier')
// write.
#include <array>
#include <string>
#include <string_view>

#include "boundary/call_frame.hpp"
#include "lib/bulk/methods.hpp"
#include "lib/bulk/scalar_arguments.hpp"
#include "results/result_text.hpp"
#include "scalar/days_since.hpp"
#include "scalar/finite.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {

namespace {

constexpr std::string_view kRetention = "quillmarrow_retention";
constexpr std::string_view kScore = "quillmarrow_score";
constexpr std::string_view kTier = "quillmarrow_tier";
constexpr std::string_view kTierName = "quillmarrow_tier_name";
constexpr std::string_view kAction = "quillmarrow_action";
constexpr std::string_view kDaysSince = "quillmarrow_days_since";
constexpr std::array<std::string_view, 2> kFlagNames = {"is_procedural", "keep_forever"};

OwnedRef none() {
  return OwnedRef::borrow(Py_None);
}

OwnedRef text(const char* begin, const char* end) {
  return OwnedRef(PyUnicode_FromStringAndSize(begin, end - begin));
}

OwnedRef text(std::string_view name) {
  return text(name.data(), name.data() + name.size());
}

std::optional<PyErr> record_numbers(std::string_view function, PyObject* const* args,
                                    RetentionInput& input) {
  double* fields[4] = {&input.days_since_recall, &input.retrieval_count, &input.importance,
                       &input.frequency};
  for (std::size_t k = 0; k < 4; ++k) {
    if (auto error = number_argument(function, kNumberArgumentNames[k], args[k], *fields[k])) {
      return error;
    }
  }
  return std::nullopt;
}

// The decision for (days, count, importance, frequency[, is_procedural[,
// keep_forever]]), or nothing when an argument is None.
PyResult<std::optional<TierDecision>> decide(std::string_view function, PyObject* const* args,
                                             Py_ssize_t count) {
  if (auto error = check_argument_range(function, count, 4, 6)) return std::move(*error);
  if (any_none(args, count)) return std::optional<TierDecision>();
  RetentionInput numbers;
  if (auto error = record_numbers(function, args, numbers)) return std::move(*error);
  TierInput input{numbers.days_since_recall, numbers.retrieval_count, numbers.importance,
                  numbers.frequency};
  bool* flags[2] = {&input.is_procedural, &input.keep_forever};
  for (Py_ssize_t k = 4; k < count; ++k) {
    if (auto error = flag_argument(function, kFlagNames[k - 4], args[k], *flags[k - 4])) {
      return std::move(*error);
    }
  }
  return std::optional<TierDecision>(classify_tier(input));
}

PyObject* retention_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return call_frame([&]() -> PyResult<OwnedRef> {
    if (auto error = check_argument_range(kRetention, count, 4, 4)) return std::move(*error);
    if (any_none(args, count)) return none();
    RetentionInput input;
    if (auto error = record_numbers(kRetention, args, input)) return std::move(*error);
    return OwnedRef(PyFloat_FromDouble(compute_retention_score(input).retention));
  });
}

PyObject* score_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return call_frame([&]() -> PyResult<OwnedRef> {
    if (auto error = check_argument_range(kScore, count, 4, 4)) return std::move(*error);
    if (any_none(args, count)) return none();
    RetentionInput input;
    if (auto error = record_numbers(kScore, args, input)) return std::move(*error);
    char buffer[kResultTextRoom];
    return text(buffer, write_retention_score(buffer, compute_retention_score(input)));
  });
}

PyObject* tier_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return call_frame([&]() -> PyResult<OwnedRef> {
    auto decision = decide(kTier, args, count);
    if (!decision.ok()) return std::move(decision.error());
    if (!decision.value()) return none();
    char buffer[kResultTextRoom];
    return text(buffer, write_tier_decision(buffer, *decision.value()));
  });
}

PyObject* tier_name_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return call_frame([&]() -> PyResult<OwnedRef> {
    auto decision = decide(kTierName, args, count);
    if (!decision.ok()) return std::move(decision.error());
    if (!decision.value()) return none();
    return text(tier_name(decision.value()->tier()));
  });
}

PyObject* action_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return call_frame([&]() -> PyResult<OwnedRef> {
    auto decision = decide(kAction, args, count);
    if (!decision.ok()) return std::move(decision.error());
    if (!decision.value()) return none();
    return text(action_name(decision.value()->action));
  });
}

// A time as Unix seconds: a number as it is, a text through parse (the
// caller's ISO-8601 reader), which must give a float.
std::optional<PyErr> time_argument(PyObject* parse, std::string_view argument, PyObject* object,
                                   double& seconds) {
  if (!PyUnicode_Check(object)) return number_argument(kDaysSince, argument, object, seconds);
  const OwnedRef parsed(PyObject_CallFunctionObjArgs(parse, object, nullptr));
  if (!parsed) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return PyErr::fetch();
    PyErr_Clear();
    std::string message(kDaysSince);
    message += ": ";
    message.append(argument);
    message += " is the text ";
    message += repr_text(object);
    message += ", not a time (Unix seconds or ISO-8601 text)";
    return PyErr::deferred(ErrorClass::value_error, std::move(message));
  }
  return number_argument(kDaysSince, argument, parsed.get(), seconds);
}

PyObject* days_since_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return call_frame([&]() -> PyResult<OwnedRef> {
    if (auto error = check_argument_range(kDaysSince, count, 3, 4)) return std::move(*error);
    if (any_none(args + 1, count - 1)) return none();
    DaysSinceInput input;
    if (auto error = time_argument(args[0], "recalled_at", args[1], input.recalled_at)) {
      return std::move(*error);
    }
    if (auto error = time_argument(args[0], "now", args[2], input.now)) return std::move(*error);
    if (count == 4) {
      if (auto error = number_argument(kDaysSince, "max_skew", args[3], input.max_skew)) {
        return std::move(*error);
      }
    }
    ScalarMessage message;
    double days = 0.0;
    if (!days_since_recall(kDaysSince, input, days, message)) {
      return PyErr::deferred(ErrorClass::value_error, std::string(message.view()));
    }
    return OwnedRef(PyFloat_FromDouble(days));
  });
}

template <PyObject* (*Entry)(PyObject*, PyObject* const*, Py_ssize_t)>
PyMethodDef method(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry)), METH_FASTCALL,
          doc};
}

}  // namespace

std::array<PyMethodDef, 6> scalar_methods() {
  return {
      method<retention_entry>(
          "retention",
          "retention(days_since_recall, retrieval_count, importance, frequency, /)\n"
          "--\n\nThe retention of one item, or None when an argument is None."),
      method<score_entry>("score_json",
                          "score_json(days_since_recall, retrieval_count, importance, frequency, "
                          "/)\n--\n\nThe result text of run('score') for one item, or None."),
      method<tier_entry>("tier_json",
                         "tier_json(days_since_recall, retrieval_count, importance, frequency, "
                         "is_procedural=False, keep_forever=False, /)\n--\n\n"
                         "The result text of run('tier') for one item, or None."),
      method<tier_name_entry>("tier_name",
                              "tier_name(days_since_recall, retrieval_count, importance, "
                              "frequency, is_procedural=False, keep_forever=False, /)\n--\n\n"
                              "The tier run('tier') decides for one item, or None."),
      method<action_entry>("action_name",
                           "action_name(days_since_recall, retrieval_count, importance, frequency, "
                           "is_procedural=False, keep_forever=False, /)\n--\n\n"
                           "The action run('tier') decides for one item, or None."),
      method<days_since_entry>(
          "days_since",
          "days_since(parse, recalled_at, now, max_skew=300.0, /)\n--\n\n"
          "Days from recalled_at to now (Unix seconds, or texts that parse turns "
          "into Unix seconds), or None when a time is None."),
  };
}

}  // namespace quillmarrow
