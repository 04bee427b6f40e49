#include "lib/bulk/buffer_view.hpp"

#include <bit>
#include <cstring>
#include <optional>
#include <string>

#include "boundary/object_text.hpp"

namespace quillmarrow {

namespace {

struct ElementType {
  ElementKind kind;
  char letter;
};

// The kind of elements a struct-module format describes: one letter, after
// an optional byte-order mark that means this machine's order. Anything else
// (other byte orders, repeat counts, structures, pointers) has no kind.
std::optional<ElementType> element_type(const char* format) {
  if (format == nullptr) return ElementType{ElementKind::unsigned_integer, 'B'};
  std::string_view text(format);
  if (!text.empty() && (text[0] == '@' || text[0] == '=' ||
                        (text[0] == '<' && std::endian::native == std::endian::little))) {
    text.remove_prefix(1);
  }
  if (text.size() != 1) return std::nullopt;
  const char letter = text[0];
  if (std::string_view("bhilqn").find(letter) != std::string_view::npos) {
    return ElementType{ElementKind::signed_integer, letter};
  }
  if (std::string_view("BHILQN").find(letter) != std::string_view::npos) {
    return ElementType{ElementKind::unsigned_integer, letter};
  }
  if (letter == 'e' || letter == 'f' || letter == 'd')
    return ElementType{ElementKind::floating, letter};
  if (letter == '?') return ElementType{ElementKind::boolean, letter};
  return std::nullopt;
}

std::string quoted(std::string_view name) {
  return concat({"column '", name, "'"});
}

}  // namespace

std::optional<PyErr> BufferView::acquire(PyObject* object, std::string_view name, int flags) {
  if (PyObject_GetBuffer(object, &view_, flags) != 0) {
    if (memory_error_pending()) return PyErr::fetch();
    PyErr_Clear();
    // The exporter's own text (for example "memoryview: underlying buffer is
    // not C-contiguous") says why; the message names the column first.
    OwnedRef type_name(PyType_GetName(Py_TYPE(object)));
    if (!type_name) return PyErr::fetch();
    return type_error(
        concat({quoted(name), " must be an array of numbers, not ", object_text(type_name.get())}));
  }
  acquired_ = true;
  if (view_.ndim != 1) {
    return type_error(concat({quoted(name), " must be one-dimensional, not of ",
                              std::to_string(view_.ndim), " dimensions"}));
  }
  return std::nullopt;
}

std::optional<PyErr> BufferView::acquire_input(PyObject* object, std::string_view name,
                                               Column& column) {
  if (auto error = acquire(object, name, PyBUF_STRIDES | PyBUF_FORMAT)) return error;
  const std::optional<ElementType> type = element_type(view_.format);
  if (!type) {
    return type_error(concat({quoted(name), " must hold numbers, not elements of format '",
                              view_.format == nullptr ? "B" : view_.format, "'"}));
  }
  column.name = name;
  column.data = static_cast<const std::byte*>(view_.buf);
  column.length = static_cast<std::size_t>(view_.shape[0]);
  column.stride = view_.strides == nullptr ? view_.itemsize : view_.strides[0];
  column.kind = type->kind;
  column.width = static_cast<std::size_t>(view_.itemsize);
  return std::nullopt;
}

std::optional<PyErr> BufferView::acquire_output(PyObject* object, std::string_view name,
                                                char format, std::size_t& length, void*& data) {
  if (PyObject_GetBuffer(object, &view_, PyBUF_CONTIG | PyBUF_FORMAT) != 0) {
    if (memory_error_pending()) return PyErr::fetch();
    PyErr_Clear();
    return type_error(concat({"output ", quoted(name), " must be a writable C-contiguous buffer"}));
  }
  acquired_ = true;
  if (view_.ndim != 1) {
    return type_error(concat({"output ", quoted(name), " must be one-dimensional"}));
  }
  const std::optional<ElementType> type = element_type(view_.format);
  const std::size_t width = format == 'd' ? sizeof(double) : 1;
  if (!type || type->letter != format || static_cast<std::size_t>(view_.itemsize) != width) {
    return type_error(concat(
        {"output ", quoted(name), " must have elements of format '", std::string(1, format), "'"}));
  }
  length = static_cast<std::size_t>(view_.shape[0]);
  data = view_.buf;
  return std::nullopt;
}

std::optional<PyErr> BufferView::acquire_bytes(PyObject* object, std::string_view name,
                                               std::string_view& bytes) {
  if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) != 0) {
    if (memory_error_pending()) return PyErr::fetch();
    PyErr_Clear();
    return type_error(concat({name, " must be a bytes-like object"}));
  }
  acquired_ = true;
  bytes = {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  return std::nullopt;
}

}  // namespace quillmarrow
