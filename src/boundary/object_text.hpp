// The text that a message shows for a Python object.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "boundary/python.hpp"

namespace quillmarrow {

// str() of the object as UTF-8. A text with unpaired surrogates is encoded
// with "surrogatepass" and decoded leniently, every invalid sequence
// becoming U+FFFD. If str() fails, its error is reported as unraisable and
// the text is "<unprintable T object>" (or "<unprintable object>").
std::string object_text(PyObject* object);

// "TypeName: text" for an exception instance, for panic messages.
std::string describe_exception(PyObject* exception);

// The pieces joined into one message text.
inline std::string concat(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (std::string_view piece : pieces) size += piece.size();
  std::string text;
  text.reserve(size);
  for (std::string_view piece : pieces) text.append(piece);
  return text;
}

// The bytes as UTF-8 with each maximal invalid subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace quillmarrow
