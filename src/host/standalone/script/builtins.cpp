// The built-in functions (print, format, getCurrentException, loadMaxFile, mod, append),
// the `options` value, and what catch handlers know.

#include "builtins.h"

#include <atomic>
#include <cmath>

#include "errors.h"
#include "host/core.h"
#include "nesting.h"
#include "values.h"

namespace paravelle::host::script {
namespace {

struct Caught {
  std::wstring text;
  std::exception_ptr error;
};
thread_local std::vector<Caught> caught_exceptions;

std::atomic<bool> all_elements{false};

void check_count(const wchar_t* function, const std::vector<Value*>& arguments, std::size_t wanted) {
  if (arguments.size() != wanted) throw_argument_count_error(function, wanted, arguments.size());
}

bool is_integer(Value* v) { return v->is_kind_of(&Integer_class); }
double number_of(Value* v) {
  if (is_integer(v)) return static_cast<Integer*>(v)->value();
  if (v->is_kind_of(&Float_class)) return static_cast<Float*>(v)->value();
  throw_conversion_error(v, L"Float");
}

// print <value>: the printed form and a line end; gives the value back. Print maps over an
// array: each element on a line of its own, and the result is OK.
Value* print(const std::vector<Value*>& arguments) {
  check_count(L"print", arguments, 1);
  // Printed whole or not at all: a value that cannot be printed leaves no half line.
  std::wstring text;
  const bool mapped = arguments[0]->is_kind_of(&Array_class);
  const std::vector<Value*> single{arguments[0]};
  for (Value* item : mapped ? static_cast<Array*>(arguments[0])->items() : single) {
    text += print_form(item ? item : &undefined) + L"\n";
    check_string_length(text.size());
  }
  thread_local_current_stdout()->puts(text.c_str());
  return mapped ? &ok : arguments[0];
}

// format "<text with %>" args...: each % takes the next argument's display form; a %
// without an argument left stays as it is, and \% is a percent sign that takes none.
Value* format(const std::vector<Value*>& arguments) {
  if (arguments.empty()) throw LanguageError(L"Argument count error", L"format wanted at least 1, got 0");
  if (!arguments[0]->is_kind_of(&String_class)) throw_conversion_error(arguments[0], L"String");
  const std::wstring& pattern = static_cast<String*>(arguments[0])->text();
  std::wstring out;
  std::size_t next = 1;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const wchar_t c = pattern[i];
    if (c == L'\\' && i + 1 < pattern.size() && pattern[i + 1] == L'%')
      out.push_back(pattern[++i]);
    else if (c == L'%' && next < arguments.size())
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
  return new String(caught_exceptions.back().text);
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

// mod a b: the remainder of a / b, with the sign of a; integers give an integer.
Value* mod(const std::vector<Value*>& arguments) {
  check_count(L"mod", arguments, 2);
  const double a = number_of(arguments[0]), b = number_of(arguments[1]);
  if (b == 0) throw RuntimeError(L"Divide by zero");
  if (!is_integer(arguments[0]) || !is_integer(arguments[1])) return new Float(std::fmod(a, b));
  const int divisor = static_cast<Integer*>(arguments[1])->value();
  return new Integer(divisor == -1 ? 0 : static_cast<Integer*>(arguments[0])->value() % divisor);
}

// append array value: adds the value at the end; gives the array.
Value* append(const std::vector<Value*>& arguments) {
  check_count(L"append", arguments, 2);
  if (!arguments[0]->is_kind_of(&Array_class)) throw_no_function(L"append", arguments[0], 0);
  auto* array = static_cast<Array*>(arguments[0]);
  check_array_length(array->size() + 1);
  count_text(1);
  array->append(arguments[1]);
  return array;
}

class Options : public Value {
 public:
  Options() : Value(&Options_class) {}
  void sprin1(CharStream* stream) override { stream->puts(L"<Options>"); }
  static ValueMetaClass Options_class;
};
ValueMetaClass Options::Options_class{L"Options"};

}  // namespace

const std::vector<Primitive*>& builtin_functions() {
  static Primitive print_function(L"print", print);
  static Primitive format_function(L"format", format);
  static Primitive exception_function(L"getCurrentException", get_current_exception);
  static Primitive load_function(L"loadMaxFile", load_max_file);
  static Primitive mod_function(L"mod", mod);
  static Primitive append_function(L"append", append);
  static const std::vector<Primitive*> all{&print_function, &format_function, &exception_function,
                                           &load_function,  &mod_function,    &append_function};
  return all;
}

Value* options_value() {
  static Options options;
  return &options;
}

bool print_all_elements() { return all_elements.load(); }
void set_print_all_elements(bool all) { all_elements.store(all); }

CaughtException::CaughtException(std::wstring text, std::exception_ptr error) {
  caught_exceptions.push_back({std::move(text), std::move(error)});
}

CaughtException::~CaughtException() {
  if (!caught_exceptions.empty()) caught_exceptions.pop_back();
}

void rethrow_caught_exception(int line) {
  if (caught_exceptions.empty() || !caught_exceptions.back().error)
    throw RuntimeError(L"throw needs a message outside a catch handler", line);
  std::rethrow_exception(caught_exceptions.back().error);
}

std::size_t caught_exception_count() { return caught_exceptions.size(); }

void forget_caught_exceptions_after(std::size_t count) {
  if (caught_exceptions.size() > count) caught_exceptions.resize(count);
}

}  // namespace paravelle::host::script
