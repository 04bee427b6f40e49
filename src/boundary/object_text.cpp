#include "boundary/object_text.hpp"

#include <optional>

#include "boundary/owned_ref.hpp"
#include "boundary/py_err.hpp"
#include "json/utf8.hpp"

namespace quillmarrow {

namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// The UTF-8 text of a str; a str that holds unpaired surrogates is read
// through "surrogatepass" and repaired.
std::string str_text(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  OwnedRef bytes(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!bytes) panic_on_python_error("could not encode a str with surrogatepass");
  const char* data = PyBytes_AsString(bytes.get());
  if (data == nullptr) panic_on_python_error("could not read encoded bytes");
  return utf8_lossy(std::string_view(data, static_cast<std::size_t>(PyBytes_Size(bytes.get()))));
}

// The __name__ of the object's type, or nothing if it cannot be had.
std::optional<std::string> type_name(PyObject* object) {
  OwnedRef name(PyType_GetName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

std::string object_text(PyObject* object) {
  OwnedRef text(PyObject_Str(object));
  if (text) return str_text(text.get());
  PyErr_WriteUnraisable(object);
  std::optional<std::string> name = type_name(object);
  if (!name) return "<unprintable object>";
  return concat({"<unprintable ", *name, " object>"});
}

std::string describe_exception(PyObject* exception) {
  return concat({type_name(exception).value_or("<unknown>"), ": ", object_text(exception)});
}

// Each maximal subpart of an ill-formed sequence becomes one replacement
// character; the byte that broke it is read again.
std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Utf8Sequence sequence = utf8_sequence_at(bytes, i);
    if (sequence.well_formed) {
      out.append(bytes.substr(i, sequence.length));
    } else {
      out += replacement_character;
    }
    i += sequence.length;
  }
  return out;
}

}  // namespace quillmarrow
