// The texts that callers may match on: exception class names, messages and
// the pieces messages are built from. They are part of the module's
// interface, as much as the output is: callers compare them, so every one
// stays byte for byte as it is, even where its wording names another
// toolchain (PyO3, Rust, f64). docs/errors.md lists them with examples; a
// change here is a change of the interface and of that document.
#pragma once

#include <string_view>

namespace quillmarrow::texts {

// ---- The module (src/lib/run, src/boundary) ------------------------------

// ImportError when a second interpreter imports the module.
inline constexpr std::string_view kSubinterpreters =
    "PyO3 modules do not yet support subinterpreters";

// The exception a panic reaches Python as, derived from BaseException.
inline constexpr const char* kPanicExceptionName = "pyo3_runtime.PanicException";
inline constexpr const char* kPanicExceptionDoc =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
// Its message for a failure that carries no text of its own.
inline constexpr std::string_view kPanicWithoutMessage = "panic from Rust code";
// Its message when an interpreter call that must not fail did.
inline constexpr std::string_view kPythonApiFailed = "Python API call failed";
// Written to standard error before the process aborts, when even raising fails.
inline constexpr const char* kUncaughtPanic = "uncaught panic at ffi boundary\n";

// TypeError of a wrong call of run; the names and numbers are filled in.
inline constexpr std::string_view kMissingBothArguments =
    "run() missing 2 required positional arguments: 'command' and 'payload_json'";
inline constexpr std::string_view kMissingOneArgument =
    "run() missing 1 required positional argument: '";  // name, "'"
inline constexpr std::string_view kTooManyPositional =
    "run() takes 2 positional arguments but ";  // count, kWereGiven
inline constexpr std::string_view kWereGiven = " were given";
inline constexpr std::string_view kUnexpectedKeyword =
    "run() got an unexpected keyword argument '";  // name, "'"
inline constexpr std::string_view kMultipleValues =
    "run() got multiple values for argument '";  // name, "'"
// A non-str argument: "argument '<name>': '<type>' object cannot be converted
// to 'PyString'".
inline constexpr std::string_view kArgumentPrefix = "argument '";  // name, "': ", cause
inline constexpr std::string_view kNotAString = "' object cannot be converted to 'PyString'";
inline constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";

// ---- The command layer (src/commands) ------------------------------------

inline constexpr std::string_view kUnknownCommand = "unknown command: ";  // the name follows
inline constexpr std::string_view kMissingItems = "missing required field: items";

// ---- The input records (src/records) -------------------------------------

// Record decoding: "invalid type: <value>, expected <what>",
// "invalid length <n>, expected <what>", "missing field `<name>`".
inline constexpr std::string_view kInvalidType = "invalid type: ";
inline constexpr std::string_view kInvalidLength = "invalid length ";
inline constexpr std::string_view kExpected = ", expected ";
inline constexpr std::string_view kMissingField = "missing field `";
inline constexpr std::string_view kExpectNumber = "f64";
inline constexpr std::string_view kExpectFlag = "a boolean";
inline constexpr std::string_view kExpectFewer = "fewer elements in array";
inline constexpr std::string_view kTierInput = "struct TierInput";
inline constexpr std::string_view kTierInputTooShort = "struct TierInput with 6 elements";
inline constexpr std::string_view kRetentionInput = "struct RetentionInput";
inline constexpr std::string_view kRetentionInputTooShort = "struct RetentionInput with 4 elements";

// ---- The JSON reader (src/json): syntax errors, then " at line L column C" -

inline constexpr std::string_view kEofWhileParsingList = "EOF while parsing a list";
inline constexpr std::string_view kEofWhileParsingObject = "EOF while parsing an object";
inline constexpr std::string_view kEofWhileParsingString = "EOF while parsing a string";
inline constexpr std::string_view kEofWhileParsingValue = "EOF while parsing a value";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kKeyMustBeAString = "key must be a string";
inline constexpr std::string_view kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
inline constexpr std::string_view kRecursionLimitExceeded = "recursion limit exceeded";
inline constexpr std::string_view kAtLine = " at line ";
inline constexpr std::string_view kColumn = " column ";

}  // namespace quillmarrow::texts
