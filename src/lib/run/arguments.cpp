#include "lib/run/arguments.hpp"

#include <array>
#include <string>

#include "boundary/argument_error.hpp"
#include "boundary/object_text.hpp"
#include "contract/texts.hpp"

namespace quillmarrow {

namespace {

constexpr std::size_t parameter_count = 2;
constexpr std::array<std::string_view, parameter_count> parameter_names = {"command",
                                                                           "payload_json"};

// The slot of a keyword name, or parameter_count for an unknown name. A name
// whose UTF-8 text cannot be had (unpaired surrogates) matches nothing.
std::size_t keyword_slot(PyObject* name) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) {
    PyErr::fetch();  // dropped: the name is reported as unexpected instead
    return parameter_count;
  }
  const std::string_view text(utf8, static_cast<std::size_t>(size));
  for (std::size_t slot = 0; slot < parameter_count; ++slot) {
    if (text == parameter_names[slot]) return slot;
  }
  return parameter_count;
}

PyErr missing_arguments_error(const std::array<PyObject*, parameter_count>& slots) {
  if (slots[0] == nullptr && slots[1] == nullptr) {
    return type_error(std::string(texts::kMissingBothArguments));
  }
  const std::string_view missing = slots[0] == nullptr ? parameter_names[0] : parameter_names[1];
  return type_error(concat({texts::kMissingOneArgument, missing, "'"}));
}

// The type's qualified name for the conversion message.
std::string qualified_type_name(PyObject* object) {
  OwnedRef name(PyType_GetQualName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::string(texts::kUnknownTypeName);
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// A str or an instance of a str subclass, read by value: the subclass's own
// methods are never called.
PyResult<std::string_view> convert_str(PyObject* object) {
  if (PyType_IsSubtype(Py_TYPE(object), &PyUnicode_Type) == 0) {
    return type_error(concat({"'", qualified_type_name(object), texts::kNotAString}));
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return PyErr::fetch();  // the interpreter's UnicodeEncodeError
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

PyResult<std::string_view> convert_argument(std::size_t slot, PyObject* object) {
  PyResult<std::string_view> text = convert_str(object);
  if (text.ok()) return text;
  return wrap_argument_error(parameter_names[slot], std::move(text.error()));
}

}  // namespace

PyResult<RunArguments> bind_run_arguments(PyObject* const* args, Py_ssize_t positional_count,
                                          PyObject* keyword_names) {
  // The usual call, run(command, payload) with two exact str, binds in a few
  // steps: the texts go straight into the result, without the intermediate
  // results of the general road below (each moved through memory once more).
  // Any failure here, or any other call shape, takes the general road, which
  // finds and reports the same failure.
  if (positional_count == 2 && keyword_names == nullptr && PyUnicode_CheckExact(args[0]) &&
      PyUnicode_CheckExact(args[1])) {
    Py_ssize_t command_size = 0;
    Py_ssize_t payload_size = 0;
    const char* command = PyUnicode_AsUTF8AndSize(args[0], &command_size);
    const char* payload = command ? PyUnicode_AsUTF8AndSize(args[1], &payload_size) : nullptr;
    if (payload != nullptr) {
      return RunArguments{std::string_view(command, static_cast<std::size_t>(command_size)),
                          std::string_view(payload, static_cast<std::size_t>(payload_size))};
    }
    PyErr_Clear();
  }
  std::array<PyObject*, parameter_count> slots = {nullptr, nullptr};  // borrowed
  const auto positional = static_cast<std::size_t>(positional_count);
  for (std::size_t i = 0; i < positional && i < parameter_count; ++i) slots[i] = args[i];
  if (positional > parameter_count) {
    return type_error(
        concat({texts::kTooManyPositional, std::to_string(positional), texts::kWereGiven}));
  }

  if (keyword_names != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_Size(keyword_names);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
      PyObject* name = PyTuple_GetItem(keyword_names, i);
      if (name == nullptr) return PyErr::fetch();
      const std::size_t slot = keyword_slot(name);
      if (slot == parameter_count) {
        return type_error(concat({texts::kUnexpectedKeyword, object_text(name), "'"}));
      }
      if (slots[slot] != nullptr) {
        return type_error(concat({texts::kMultipleValues, parameter_names[slot], "'"}));
      }
      slots[slot] = args[positional_count + i];
    }
  }

  if (slots[0] == nullptr || slots[1] == nullptr) return missing_arguments_error(slots);

  PyResult<std::string_view> command = convert_argument(0, slots[0]);
  if (!command.ok()) return std::move(command.error());
  PyResult<std::string_view> payload_json = convert_argument(1, slots[1]);
  if (!payload_json.ok()) return std::move(payload_json.error());
  return RunArguments{command.value(), payload_json.value()};
}

}  // namespace quillmarrow
