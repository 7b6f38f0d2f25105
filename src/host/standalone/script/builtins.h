#pragma once
// The built-in functions every script sees as globals, and the state of `catch`.

#include <string>
#include <vector>

#include "host/maxscript_runtime.h"

namespace paravelle::host::script {

// The permanent primitives installed in a new globals table.
const std::vector<Primitive*>& builtin_functions();

// While a catch handler runs, getCurrentException() answers the caught error's text.
class CaughtException {
 public:
  explicit CaughtException(std::wstring text);
  ~CaughtException();
  CaughtException(const CaughtException&) = delete;
  CaughtException& operator=(const CaughtException&) = delete;
};

// How many catch handlers the calling thread is inside, and forgetting the innermost ones
// past a count (for handlers that a trapped fault abandoned).
std::size_t caught_exception_count();
void forget_caught_exceptions_after(std::size_t count);

}  // namespace paravelle::host::script
