// The built-in functions: print, format, getCurrentException and loadMaxFile.

#include "builtins.h"

#include "host/core.h"
#include "nesting.h"
#include "values.h"

namespace paravelle::host::script {
namespace {

thread_local std::vector<std::wstring> caught_exceptions;

void check_count(const wchar_t* function, const std::vector<Value*>& arguments, std::size_t wanted) {
  if (arguments.size() == wanted) return;
  throw RuntimeError(std::wstring(L"Argument count error: ") + function + L" wanted " + std::to_wstring(wanted) +
                     L", got " + std::to_wstring(arguments.size()));
}

// print <value>: the printed form and a line end; gives the value back.
Value* print(const std::vector<Value*>& arguments) {
  check_count(L"print", arguments, 1);
  // Printed whole or not at all: a value that cannot be printed leaves no half line.
  const std::wstring text = print_form(arguments[0]) + L"\n";
  thread_local_current_stdout()->puts(text.c_str());
  return arguments[0];
}

// format "<text with %>" args...: each % takes the next argument's display form; a %
// without an argument left stays as it is.
Value* format(const std::vector<Value*>& arguments) {
  if (arguments.empty()) throw RuntimeError(L"Argument count error: format wanted at least 1, got 0");
  if (!arguments[0]->is_kind_of(&String_class)) throw_conversion_error(arguments[0], L"String");
  std::wstring out;
  std::size_t next = 1;
  for (wchar_t c : static_cast<String*>(arguments[0])->text()) {
    if (c == L'%' && next < arguments.size())
      out += display_form(arguments[next++]);
    else
      out.push_back(c);
    check_string_length(out.size());
  }
  count_text(out.size());
  thread_local_current_stdout()->puts(out.c_str());
  return &ok;
}

// Inside a catch handler, the text of the error it caught; undefined elsewhere.
Value* get_current_exception(const std::vector<Value*>& arguments) {
  check_count(L"getCurrentException", arguments, 0);
  if (caught_exceptions.empty()) return &undefined;
  return new String(caught_exceptions.back());
}

// loadMaxFile "<scene file>": loads a scene as the plug-in does (flags 14: no prompts,
// file units, refresh); true when it loaded. The scene's post-load script runs inside
// this call, so a script can see its effects on the next line.
Value* load_max_file(const std::vector<Value*>& arguments) {
  check_count(L"loadMaxFile", arguments, 1);
  if (!arguments[0]->is_kind_of(&String_class)) throw_conversion_error(arguments[0], L"String");
  constexpr unsigned load_flags = 14;
  return bool_result(GetCOREInterface()->LoadFromFile(static_cast<String*>(arguments[0])->text().c_str(), load_flags));
}

}  // namespace

const std::vector<Primitive*>& builtin_functions() {
  static Primitive print_function(L"print", print);
  static Primitive format_function(L"format", format);
  static Primitive exception_function(L"getCurrentException", get_current_exception);
  static Primitive load_function(L"loadMaxFile", load_max_file);
  static const std::vector<Primitive*> all{&print_function, &format_function, &exception_function, &load_function};
  return all;
}

CaughtException::CaughtException(std::wstring text) { caught_exceptions.push_back(std::move(text)); }

CaughtException::~CaughtException() {
  if (!caught_exceptions.empty()) caught_exceptions.pop_back();
}

std::size_t caught_exception_count() { return caught_exceptions.size(); }

void forget_caught_exceptions_after(std::size_t count) {
  if (caught_exceptions.size() > count) caught_exceptions.resize(count);
}

}  // namespace paravelle::host::script
