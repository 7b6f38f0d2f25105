#include "daemon/mxs/eval.h"

#include <stdexcept>
#include <string_view>

#include "daemon/mxs/frame.h"
#include "transport/text.h"

namespace mxs {
namespace {

// The evaluation's own allocation frame, popped on every way out.
class alloc_scope {
 public:
  alloc_scope() {
    init_thread_locals();
    push_alloc_frame();
  }
  ~alloc_scope() { pop_alloc_frame(); }
  alloc_scope(const alloc_scope&) = delete;
  alloc_scope& operator=(const alloc_scope&) = delete;
};

}  // namespace

Value* eval_stream(CharStream* stream, MAXScript::ScriptSource source, int last_line) {
  frame<3> values;
  Value*& parser = values.link();
  Value*& code = values.link();
  Value*& result = values.link();
  const alloc_scope evaluation;
  try {
    parser = new Parser(thread_local_current_stdout());
    code = static_cast<Parser*>(parser)->compile_all(stream, source);
    result = static_cast<CodeTree*>(code)->eval();
  } catch (const SyntaxError& error) {
    if (last_line <= 0 || error.line() <= last_line)
      throw std::runtime_error(paravelle::to_string(exception_text(error)));
    // What stood there was the wrapping's closing bracket, which the script's author never wrote.
    std::wstring reason = error.reason();
    constexpr std::wstring_view kBracket = L"got ')'";
    if (reason.ends_with(kBracket))
      reason.replace(reason.size() - kBracket.size(), kBracket.size(), L"got the end of the script");
    throw std::runtime_error(paravelle::to_string(exception_text(SyntaxError(reason, last_line))));
  } catch (const MAXScriptException& error) {
    throw std::runtime_error(paravelle::to_string(exception_text(error)));
  }
  return result ? result->get_heap_ptr() : &undefined;
}

std::wstring exception_text(const MAXScriptException& error) {
  frame<1> values;
  Value*& slot = values.link();
  auto* const text = new StringStream();
  slot = text;
  error.sprin1(text);
  return text->text();
}

}  // namespace mxs
