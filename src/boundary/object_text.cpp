#include "boundary/object_text.hpp"

#include <optional>

#include "boundary/owned_ref.hpp"
#include "boundary/py_err.hpp"

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

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    // Continuation count and the allowed range of the first continuation
    // byte, which excludes overlong forms, surrogates and values past U+10FFFF.
    std::size_t continuations = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      continuations = 1;
    } else if (lead == 0xE0) {
      continuations = 2;
      low = 0xA0;
    } else if (lead == 0xED) {
      continuations = 2;
      high = 0x9F;
    } else if (lead >= 0xE1 && lead <= 0xEF) {
      continuations = 2;
    } else if (lead == 0xF0) {
      continuations = 3;
      low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      continuations = 3;
    } else if (lead == 0xF4) {
      continuations = 3;
      high = 0x8F;
    } else {
      out += replacement_character;
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool complete = true;
    for (std::size_t k = 0; k < continuations; ++k, ++j) {
      const unsigned char min = k == 0 ? low : 0x80;
      const unsigned char max = k == 0 ? high : 0xBF;
      if (j >= size || static_cast<unsigned char>(bytes[j]) < min ||
          static_cast<unsigned char>(bytes[j]) > max) {
        complete = false;
        break;
      }
    }
    if (complete) {
      out.append(bytes.substr(i, j - i));
    } else {
      out += replacement_character;  // the maximal subpart i..j-1; bytes[j] is read again
    }
    i = j;
  }
  return out;
}

}  // namespace quillmarrow
