// How script errors print themselves.

#include "errors.h"

#include <string>

#include "values.h"

namespace {

void put_line(CharStream* stream, int line) {
  stream->puts(L"at line ");
  stream->puts(std::to_wstring(line).c_str());
  stream->puts(L", ");
}

}  // namespace

void RuntimeError::sprin1(CharStream* stream) const {
  stream->puts(L"-- Runtime error: ");
  if (line_ > 0) put_line(stream, line_);
  stream->puts(message_.c_str());
}

void SyntaxError::sprin1(CharStream* stream) const {
  stream->puts(L"-- Syntax error: ");
  put_line(stream, line_);
  stream->puts(reason_.c_str());
}

namespace paravelle::host::script {
namespace {

std::wstring headed(const LanguageError& error) {
  std::wstring text = L"-- ";
  if (!error.heading().empty()) text += error.heading() + L": ";
  return text + error.message();
}

}  // namespace

void LanguageError::sprin1(CharStream* stream) const {
  stream->puts(headed(*this).c_str());
  if (line() > 0) stream->puts((L" (at line " + std::to_wstring(line()) + L")").c_str());
}

void throw_no_function(const wchar_t* operation, Value* value, int line) {
  throw LanguageError(L"", std::wstring(L"No \"") + operation + L"\" function for " + print_form(value), line);
}

void rethrow_at_line(const RuntimeError& error, int line) {
  const int at = error.line() > 0 ? error.line() : line;
  if (const auto* kinded = dynamic_cast<const LanguageError*>(&error))
    throw LanguageError(kinded->heading(), kinded->message(), at);
  throw RuntimeError(error.message(), at);
}

std::wstring error_text(const MAXScriptException& error) {
  if (const auto* kinded = dynamic_cast<const LanguageError*>(&error)) return headed(*kinded);
  if (const auto* runtime = dynamic_cast<const RuntimeError*>(&error))
    return L"-- Runtime error: " + runtime->message();
  return printed(error);
}

}  // namespace paravelle::host::script
