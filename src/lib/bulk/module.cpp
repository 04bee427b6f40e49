// Initialisation of quillmarrow_engine._bulk: the column functions, the
// names of the fields they read and of the tier and action codes they write.
// The module keeps no state, so every interpreter that imports it gets a
// module of its own.
#include <array>
#include <cstddef>
#include <string_view>

#include "boundary/python.hpp"
#include "lib/bulk/methods.hpp"
#include "scoring/records.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {

namespace {

// One entry per function of the module, then the end mark.
PyMethodDef* method_table() {
  static const std::array<PyMethodDef, 6> scalar = scalar_methods();
  static const std::array<PyMethodDef, 3> recall = recall_methods();
  static PyMethodDef table[] = {
      tier_columns_method(),
      score_columns_method(),
      tier_jsonl_chunk_method(),
      scalar[0],
      scalar[1],
      scalar[2],
      scalar[3],
      scalar[4],
      scalar[5],
      recall[0],
      recall[1],
      recall[2],
      {nullptr, nullptr, 0, nullptr},
  };
  return table;
}

// A tuple of the names, indexed by code.
template <std::size_t N, class Name>
PyObject* name_tuple(Name name_of) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(N));
  if (tuple == nullptr) return nullptr;
  for (std::size_t code = 0; code < N; ++code) {
    const std::string_view name = name_of(code);
    PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text == nullptr || PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(code), text) != 0) {
      Py_DecRef(tuple);
      return nullptr;
    }
  }
  return tuple;
}

int add_tuple(PyObject* module, const char* name, PyObject* tuple) {
  if (tuple == nullptr) return -1;
  const int status = PyModule_AddObjectRef(module, name, tuple);
  Py_DecRef(tuple);
  return status;
}

int execute(PyObject* module) {
  if (add_tuple(module, "FIELDS", name_tuple<kFieldNames.size()>([](std::size_t i) {
                  return kFieldNames[i];
                })) != 0) {
    return -1;
  }
  if (add_tuple(module, "TIERS",
                name_tuple<kTierCount>([](std::size_t code) { return kTierNames[code]; })) != 0) {
    return -1;
  }
  return add_tuple(module, "ACTIONS",
                   name_tuple<kActionCount>([](std::size_t code) { return kActions[code].name; }));
}

PyModuleDef_Slot* slots() {
  static PyModuleDef_Slot table[] = {
      {Py_mod_exec, reinterpret_cast<void*>(&execute)},
      {0, nullptr},
  };
  return table;
}

PyModuleDef* definition() {
  static PyModuleDef def = {
      PyModuleDef_HEAD_INIT,
      "quillmarrow_engine._bulk",  // m_name
      "Scoring and tiering of whole columns of numbers (buffers), exactly as the\n"
      "engine's commands score single items, and of JSON Lines chunks, each line\n"
      "as the \"tier\" command decodes it. Used by quillmarrow_engine.columns and\n"
      "quillmarrow_engine.jsonl.",
      0,               // m_size: no per-module state
      method_table(),  // m_methods
      slots(),         // m_slots: multi-phase initialisation
      nullptr,         // m_traverse
      nullptr,         // m_clear
      nullptr,         // m_free
  };
  return &def;
}

}  // namespace

}  // namespace quillmarrow

PyMODINIT_FUNC PyInit__bulk(void) {
  return PyModuleDef_Init(quillmarrow::definition());
}
