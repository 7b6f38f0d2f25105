#pragma once
// The built-in functions every script sees as globals, the `options` value, and the state
// of `catch`.

#include <exception>
#include <string>
#include <vector>

#include "host/maxscript_runtime.h"

namespace paravelle::host::script {

// The permanent primitives installed in a new globals table.
const std::vector<Primitive*>& builtin_functions();

// `options`, with the property printAllElements: whether arrays print past their 20th
// element. Installed as a global too.
Value* options_value();
bool print_all_elements();
void set_print_all_elements(bool all);

// While a catch handler runs, getCurrentException() answers the caught error's text and a
// bare `throw` raises the error again.
class CaughtException {
 public:
  CaughtException(std::wstring text, std::exception_ptr error);
  ~CaughtException();
  CaughtException(const CaughtException&) = delete;
  CaughtException& operator=(const CaughtException&) = delete;
};

// Raises the error the innermost running catch handler caught; outside a handler, a
// runtime error at `line`.
[[noreturn]] void rethrow_caught_exception(int line);

// How many catch handlers the calling thread is inside, and forgetting the innermost ones
// past a count (for handlers that a trapped fault abandoned).
std::size_t caught_exception_count();
void forget_caught_exceptions_after(std::size_t count);

}  // namespace paravelle::host::script
