// The JSON reader: one forward pass over the text that checks the syntax,
// reports the first error with its position, and hands every value it reads
// to a handler as an event. The commands' handlers decode their records
// straight from these events; no value tree is built.
//
// A handler provides these members; the reader calls them in text order:
//
//   void null_value();
//   void bool_value(bool value);
//   void number_value(const JsonNumber& number);
//   void string_value(std::string_view contents);  // escapes resolved
//   void begin_array();                            // then the elements
//   void end_array();
//   void begin_object();                           // then key, value, key, ...
//   void key(std::string_view contents);           // escapes resolved
//   void end_object();
//
// The views passed to string_value and key are valid only during the call:
// they point into the text when the string has no escape, otherwise into the
// reader's scratch buffer.
//
// A handler may also provide
//
//   const char* known_key(const char* p, const char* end);
//
// which the reader calls first for every key, with p just after its opening
// double quote: when the bytes from p are a key the handler looks for,
// written plainly and followed by the closing double quote, the handler takes
// it exactly as key() would and returns the position after that quote;
// otherwise it returns nullptr and the reader reads the key as usual. Members
// of an object are reported in text order,
// repeated keys included. Handlers cannot fail; an exception they throw (such
// as std::bad_alloc) propagates out of read_json. When the text has a syntax
// error the events seen so far stop at the error and read_json returns it.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "json/error.hpp"
#include "json/number.hpp"
#include "json/number_parse.hpp"
#include "json/string_scan.hpp"
#include "json/syntax_failure.hpp"

namespace quillmarrow {

template <class Handler>
class JsonReader {
 public:
  JsonReader(std::string_view text, Handler& handler)
      : text_(text), begin_(text.data()), end_(text.data() + text.size()), handler_(handler) {}

  // Reads one value and checks that only blanks follow it. Returns the first
  // syntax error, or nothing when the whole text is one JSON value.
  std::optional<JsonError> read_document() {
    const char* p = read_value(begin_);
    if (p == nullptr) return locate_syntax_error(text_, failure_);
    p = skip_blanks(p);
    if (p != end_) {
      fail(SyntaxErrorKind::trailing_characters, p + 1);
      return locate_syntax_error(text_, failure_);
    }
    return std::nullopt;
  }

 private:
  // The cursor is a pointer that each step takes and returns (nullptr once a
  // failure is recorded) rather than a member: a local stays in a register
  // across the handler's events, where a member would be stored and loaded
  // again around each of them, and the cursor is the chain every byte of the
  // text waits on.

  // At most 127 arrays and objects may be open at once.
  static constexpr unsigned kDepthBudget = 128;

  static bool is_blank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

  // Most calls find no blank at all (compact text, or the value right after
  // ": "), so one comparison settles them before the loop tests the four
  // blanks one by one.
  const char* skip_blanks(const char* p) const {
    if (p != end_ && static_cast<unsigned char>(*p) > ' ') return p;
    while (p != end_ && is_blank(*p)) ++p;
    return p;
  }

  std::size_t offset(const char* p) const { return static_cast<std::size_t>(p - begin_); }

  // Records the failure; at is the offending byte's position plus one, or
  // the end of the text.
  const char* fail(SyntaxErrorKind kind, const char* at) {
    failure_ = SyntaxFailure{kind, offset(at)};
    return nullptr;
  }

  const char* read_value(const char* p) {
    p = skip_blanks(p);
    if (p == end_) return fail(SyntaxErrorKind::eof_while_parsing_value, p);
    switch (*p) {
      case 'n':
        p = read_literal(p, "null");
        if (p != nullptr) handler_.null_value();
        return p;
      case 't':
        p = read_literal(p, "true");
        if (p != nullptr) handler_.bool_value(true);
        return p;
      case 'f':
        p = read_literal(p, "false");
        if (p != nullptr) handler_.bool_value(false);
        return p;
      case '-':
        return read_number_value(p + 1, true);
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return read_number_value(p, false);
      case '"': {
        std::string_view contents;
        p = read_string_at(p + 1, contents);
        if (p != nullptr) handler_.string_value(contents);
        return p;
      }
      case '[':
        return read_array(p);
      case '{':
        return read_object(p);
      default:
        return fail(SyntaxErrorKind::expected_value, p + 1);
    }
  }

  // The first letter has been looked at; every later letter must match.
  const char* read_literal(const char* p, std::string_view word) {
    if (static_cast<std::size_t>(end_ - p) >= word.size() &&
        std::memcmp(p, word.data(), word.size()) == 0) {
      return p + word.size();
    }
    ++p;
    for (std::size_t i = 1; i < word.size(); ++i) {
      if (p == end_) return fail(SyntaxErrorKind::eof_while_parsing_value, p);
      if (*p++ != word[i]) return fail(SyntaxErrorKind::expected_ident, p);
    }
    return p;
  }

  // The string readers work on offsets; the cursor goes over and back.
  const char* read_string_at(const char* p, std::string_view& contents) {
    std::size_t pos = offset(p);
    if (!read_string(text_, pos, scratch_, contents, failure_)) return nullptr;
    return begin_ + pos;
  }

  const char* read_number_value(const char* p, bool negative) {
    std::size_t pos = offset(p);
    JsonNumber number;
    if (!read_number(text_, pos, negative, number, failure_)) return nullptr;
    handler_.number_value(number);
    return begin_ + pos;
  }

  // Takes one level of the nesting budget for the bracket at p.
  const char* enter_container(const char* p) {
    if (--depth_ == 0) return fail(SyntaxErrorKind::recursion_limit_exceeded, p + 1);
    return p + 1;
  }

  const char* read_array(const char* p) {
    p = enter_container(p);
    if (p == nullptr) return nullptr;
    handler_.begin_array();
    p = skip_blanks(p);
    if (p == end_) return fail(SyntaxErrorKind::eof_while_parsing_list, p);
    if (*p != ']') {
      for (;;) {
        p = read_value(p);
        if (p == nullptr) return nullptr;
        p = skip_blanks(p);
        if (p == end_) return fail(SyntaxErrorKind::eof_while_parsing_list, p);
        const char c = *p;
        if (c == ']') break;
        if (c != ',') return fail(SyntaxErrorKind::expected_list_comma_or_end, p + 1);
        p = skip_blanks(p + 1);
        if (p == end_) return fail(SyntaxErrorKind::eof_while_parsing_value, p);
        if (*p == ']') return fail(SyntaxErrorKind::trailing_comma, p + 1);
      }
    }
    ++depth_;
    handler_.end_array();
    return p + 1;
  }

  const char* read_object(const char* p) {
    p = enter_container(p);
    if (p == nullptr) return nullptr;
    handler_.begin_object();
    p = skip_blanks(p);
    if (p == end_) return fail(SyntaxErrorKind::eof_while_parsing_object, p);
    if (*p != '}') {
      if (*p != '"') return fail(SyntaxErrorKind::key_must_be_a_string, p + 1);
      for (;;) {
        p = read_member(p);
        if (p == nullptr) return nullptr;
        p = skip_blanks(p);
        if (p == end_) return fail(SyntaxErrorKind::eof_while_parsing_object, p);
        const char c = *p;
        if (c == '}') break;
        if (c != ',') return fail(SyntaxErrorKind::expected_object_comma_or_end, p + 1);
        p = skip_blanks(p + 1);
        if (p == end_) return fail(SyntaxErrorKind::eof_while_parsing_value, p);
        if (*p == '}') return fail(SyntaxErrorKind::trailing_comma, p + 1);
        if (*p != '"') return fail(SyntaxErrorKind::key_must_be_a_string, p + 1);
      }
    }
    ++depth_;
    handler_.end_object();
    return p + 1;
  }

  // A key; p is just after its opening double quote.
  const char* read_key(const char* p) {
    if constexpr (requires(Handler & h) { h.known_key(p, p); }) {
      // Records name their fields with a few fixed keys: a handler that knows
      // them takes such a key from its bytes, without the scan for the
      // string's end and the lookup of the name.
      if (const char* after = handler_.known_key(p, end_)) return after;
    }
    std::string_view key;
    p = read_string_at(p, key);
    if (p != nullptr) handler_.key(key);
    return p;
  }

  // One member; p is on the key's opening double quote.
  const char* read_member(const char* p) {
    p = read_key(p + 1);
    if (p == nullptr) return nullptr;
    p = skip_blanks(p);
    if (p == end_) return fail(SyntaxErrorKind::eof_while_parsing_object, p);
    if (*p != ':') return fail(SyntaxErrorKind::expected_colon, p + 1);
    return read_value(p + 1);
  }

  std::string_view text_;
  const char* begin_;
  const char* end_;
  Handler& handler_;
  unsigned depth_ = kDepthBudget;
  std::string scratch_;  // contents of strings with escapes
  SyntaxFailure failure_;
};

// Reads the whole text as one JSON value, reporting it to handler as events.
// Returns the first syntax error, or nothing on success.
template <class Handler>
std::optional<JsonError> read_json(std::string_view text, Handler& handler) {
  JsonReader<Handler> reader(text, handler);
  return reader.read_document();
}

}  // namespace quillmarrow
