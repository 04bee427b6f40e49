#include "lib/run/run.hpp"

#include <string>
#include <variant>

#include "boundary/call_frame.hpp"
#include "commands/run_command.hpp"
#include "contract/texts.hpp"
#include "lib/run/arguments.hpp"
#if QM_TEST_HOOKS
#include "lib/hooks/test_hooks.hpp"
#endif

namespace quillmarrow {

namespace {

CommandResult dispatch(std::string_view command, std::string_view payload_json) {
#if QM_TEST_HOOKS
  if (auto hooked = run_test_hook(command, payload_json)) return std::move(*hooked);
#endif
  return run_command(command, payload_json);
}

// The output text as a new str, copied once.
PyResult<OwnedRef> output_str(const std::string& text) {
  OwnedRef result(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (result) return result;
  // Lack of memory is raised as MemoryError, like every other allocation
  // failure of a call. Anything else (output that is not UTF-8) is a broken
  // invariant of the engine.
  if (memory_error_pending()) return PyErr::fetch();
  PyErr_Print();
  panic(std::string(texts::kPythonApiFailed));
}

PyResult<OwnedRef> run_body(PyObject* const* args, Py_ssize_t positional_count,
                            PyObject* keyword_names) {
  PyResult<RunArguments> arguments = bind_run_arguments(args, positional_count, keyword_names);
  if (!arguments.ok()) return std::move(arguments.error());
  // The interpreter lock stays held while the engine works: calls from
  // several threads run one after another.
  CommandResult result = dispatch(arguments.value().command, arguments.value().payload_json);
  if (auto* error = std::get_if<EngineError>(&result)) {
    return PyErr::deferred(ErrorClass::runtime_error, std::move(error->message));
  }
  return output_str(std::get<std::string>(result));
}

// The bound object is the module; run does not use it.
PyObject* run_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t positional_count,
                    PyObject* keyword_names) {
  return call_frame([&] { return run_body(args, positional_count, keyword_names); });
}

PyMethodDef run_method = {
    "run",
    // Fast call with keywords; the record's function slot has the plain type.
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&run_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "run(command, payload_json)\n--\n\n",
};

}  // namespace

PyMethodDef* run_method_record() {
  return &run_method;
}

}  // namespace quillmarrow
