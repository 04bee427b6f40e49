// Views of Python objects through the buffer protocol: columns of NumPy
// arrays, memoryviews, array.array and anything else that exports a buffer,
// and the plain bytes of a bytes-like object. The view keeps the exporting
// object alive and its memory in place until it is released, which happens
// when the BufferView goes away, lock held.
#pragma once

#include <cstddef>
#include <string_view>

#include "boundary/py_err.hpp"
#include "boundary/python.hpp"
#include "columns/column.hpp"

namespace quillmarrow {

class BufferView {
 public:
  BufferView() noexcept = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (acquired_) PyBuffer_Release(&view_);
  }

  // Acquires a one-dimensional buffer of `object` (read-only, any strides)
  // as the input column `name`. TypeError if the object exports no buffer,
  // or one of several dimensions or of elements that are not numbers.
  std::optional<PyErr> acquire_input(PyObject* object, std::string_view name, Column& column);

  // Acquires a writable C-contiguous buffer of `object` with elements of the
  // given struct-module format letter ('d' double, 'B' unsigned byte).
  std::optional<PyErr> acquire_output(PyObject* object, std::string_view name, char format,
                                      std::size_t& length, void*& data);

  // Acquires the bytes of a bytes-like object (bytes, bytearray, a
  // memoryview of contiguous bytes, ...). TypeError "<name> must be a
  // bytes-like object" if it is none.
  std::optional<PyErr> acquire_bytes(PyObject* object, std::string_view name,
                                     std::string_view& bytes);

 private:
  std::optional<PyErr> acquire(PyObject* object, std::string_view name, int flags);

  Py_buffer view_{};
  bool acquired_ = false;
};

}  // namespace quillmarrow
