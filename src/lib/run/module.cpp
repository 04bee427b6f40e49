// Initialisation of quillmarrow_engine_native: one module object per
// process, owned by the first interpreter that imports it.
#include <atomic>
#include <cstdint>
#include <optional>

#include "boundary/call_frame.hpp"
#include "boundary/panic.hpp"
#include "boundary/py_err.hpp"
#include "contract/texts.hpp"
#include "lib/run/run.hpp"

namespace quillmarrow {

namespace {

// The ID of the interpreter that imported the module first; -1 until then.
std::atomic<std::int64_t> owning_interpreter_id{-1};
// The populated module, a strong reference kept until the process ends.
std::atomic<PyObject*> module_cache{nullptr};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quillmarrow_engine_native",  // m_name
    "",                           // m_doc: __doc__ is the empty string
    0,                            // m_size
    nullptr,                      // m_methods: run is added during population
    nullptr,                      // m_slots: single-phase initialisation
    nullptr,                      // m_traverse
    nullptr,                      // m_clear
    nullptr,                      // m_free
};

// The module's __all__ list, created when the module has none yet.
PyResult<OwnedRef> all_list(PyObject* module) {
  OwnedRef all(PyObject_GetAttrString(module, "__all__"));
  if (all) return all;
  PyErr error = PyErr::fetch();
  if (error.type() == nullptr ||
      PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError) == 0) {
    return error;
  }
  OwnedRef list(PyList_New(0));
  if (!list) return PyErr::fetch();
  if (PyObject_SetAttrString(module, "__all__", list.get()) != 0) return PyErr::fetch();
  return list;
}

// Adds run and its name in __all__.
std::optional<PyErr> populate(PyObject* module) {
  OwnedRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return PyErr::fetch();
  OwnedRef function(PyCMethod_New(run_method_record(), module, module_name.get(), nullptr));
  if (!function) return PyErr::fetch();
  module_name.reset();

  OwnedRef function_name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name) return PyErr::fetch();
  PyResult<OwnedRef> all = all_list(module);
  if (!all.ok()) return std::move(all.error());
  if (PyList_Append(all.value().get(), function_name.get()) != 0) {
    panic_on_python_error("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, function_name.get(), function.get()) != 0) return PyErr::fetch();
  return std::nullopt;
}

PyResult<OwnedRef> initialise() {
  const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter_id == -1) return PyErr::fetch();
  std::int64_t owner = -1;
  if (!owning_interpreter_id.compare_exchange_strong(owner, interpreter_id) &&
      owner != interpreter_id) {
    return PyErr::deferred(ErrorClass::import_error, std::string(texts::kSubinterpreters));
  }

  // A repeated import (after the module left sys.modules) gets the same object.
  if (PyObject* cached = module_cache.load(std::memory_order_acquire)) {
    return OwnedRef::borrow(cached);
  }

  OwnedRef module(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
  if (!module) return PyErr::fetch();
  // A failed population leaves the cache empty, so the next import tries again.
  if (std::optional<PyErr> error = populate(module.get())) return std::move(*error);

  PyObject* expected = nullptr;
  if (module_cache.compare_exchange_strong(expected, module.get(), std::memory_order_acq_rel)) {
    expected = module.release();  // the cache keeps this reference for good
  }
  // Whoever filled the cache first, that module is the one returned.
  return OwnedRef::borrow(expected);
}

}  // namespace

}  // namespace quillmarrow

PyMODINIT_FUNC PyInit_quillmarrow_engine_native(void) {
  return quillmarrow::call_frame(quillmarrow::initialise);
}
