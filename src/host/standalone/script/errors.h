#pragma once
// The kinds of script error the language raises besides plain runtime errors, and the
// text a catch handler sees.

#include <string>

#include "host/maxscript.h"

namespace paravelle::host::script {

// An error of one of the language's own kinds. Its text starts with the kind, the way
// script writers know it: "-- Type error: Call needs function or class, got: 5",
// "-- Argument count error: f wanted 2, got 1". Some kinds are named by the start of the
// message itself ("-- Unknown property: ...", "-- Unable to convert: ...",
// "-- No \"+\" function for ..."); their heading is empty. An error the interpreter
// raised knows its line and ends with " (at line N)", so that the first words stay those
// of the kind. It is a RuntimeError, so whatever catches those catches these.
class LanguageError : public RuntimeError {
 public:
  LanguageError(std::wstring heading, std::wstring message, int line = 0)
      : RuntimeError(std::move(message), line), heading_(std::move(heading)) {}
  const std::wstring& heading() const { return heading_; }
  void sprin1(CharStream* stream) const override;

 private:
  std::wstring heading_;
};

[[noreturn]] inline void throw_type_error(std::wstring message, int line) {
  throw LanguageError(L"Type error", std::move(message), line);
}

[[noreturn]] inline void throw_argument_count_error(const std::wstring& function, std::size_t wanted, std::size_t got,
                                                    int line = 0) {
  throw LanguageError(L"Argument count error",
                      function + L" wanted " + std::to_wstring(wanted) + L", got " + std::to_wstring(got), line);
}

// "No \"<operation>\" function for <printed value>": the value cannot do the operation.
[[noreturn]] void throw_no_function(const wchar_t* operation, Value* value, int line);

// Raises `error` again at `line`, keeping its kind, unless it already knows its line.
[[noreturn]] void rethrow_at_line(const RuntimeError& error, int line);

// The error's text without the line, as `getCurrentException()` gives it.
std::wstring error_text(const MAXScriptException& error);

}  // namespace paravelle::host::script
