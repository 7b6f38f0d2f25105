#pragma once
// Evaluating one script text as a block, with the locals array published to the script
// under the global "__paravelleMXSlocals__" while it runs.

#include <string>

#include "daemon/mxs/frame.h"
#include "host/maxscript_runtime.h"

namespace mxs {

// The global through which a string script reaches its locals array.
inline constexpr wchar_t kLocalsGlobalName[] = L"__paravelleMXSlocals__";

class string_script {
 public:
  string_script(std::wstring text, MAXScript::ScriptSource source);
  ~string_script();
  string_script(const string_script&) = delete;
  string_script& operator=(const string_script&) = delete;

  // Evaluates "(" + text + "\n)" and returns its value (unrooted, as eval_stream's). The
  // source stream is consumed, so a second call is refused.
  Value* eval();

 private:
  frame<2> values_;
  StringStream* const stream_;
  Array* const locals_;
  // The runtime's only thread-local value a script can change is the current output
  // stream; it has no further per-thread state to save.
  CharStream* const saved_output_;
  const std::wstring text_;
  const MAXScript::ScriptSource source_;
  bool evaluated_ = false;
};

}  // namespace mxs
