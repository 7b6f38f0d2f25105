#include "daemon/mxs/string_script.h"

#include <algorithm>
#include <stdexcept>

#include "daemon/mxs/eval.h"

namespace mxs {
namespace {

template <class T>
T* linked(Value*& slot, T* value) {
  slot = value;
  return value;
}

// Binds a global for a scope and puts back what was there before (or removes the global
// if there was nothing), whether the scope ends normally or by an exception.
class global_binding {
 public:
  global_binding(Value* name, Value*& previous_slot, Value* value) : name_(name), previous_(previous_slot) {
    previous_ = globals->get(name_);
    globals->set(name_, value);
  }
  ~global_binding() {
    if (previous_)
      globals->set(name_, previous_);
    else
      globals->remove(name_);
  }
  global_binding(const global_binding&) = delete;
  global_binding& operator=(const global_binding&) = delete;

 private:
  Value* const name_;
  Value*& previous_;  // a frame slot, so the earlier value survives a collection meanwhile
};

}  // namespace

string_script::string_script(std::wstring text, MAXScript::ScriptSource source)
    : stream_(linked(values_.link(), new StringStream())),
      locals_(linked(values_.link(), new Array(0))),
      saved_output_(thread_local_current_stdout()),
      text_(std::move(text)),
      source_(source) {
  stream_->putch(L'(');
}

string_script::~string_script() {
  stream_->close();
  thread_local_current_stdout() = saved_output_;
}

Value* string_script::eval() {
  if (evaluated_) throw std::runtime_error("mxs::string_script::eval: the script was already evaluated");
  evaluated_ = true;
  // One block expression: its value is the value of the text's last expression. The text
  // goes in character by character, so an embedded NUL does not end it early, and the
  // closing bracket goes on a line of its own, so a comment on the last line cannot hide it.
  for (const wchar_t c : text_) stream_->putch(c);
  stream_->putch(L'\n');
  stream_->putch(L')');

  frame<2> values;
  Value*& name = values.link();
  name = Name::intern(kLocalsGlobalName);
  const global_binding locals(name, values.link(), locals_);
  const int user_lines = 1 + static_cast<int>(std::count(text_.begin(), text_.end(), L'\n'));
  return eval_stream(stream_, source_, user_lines);
}

}  // namespace mxs
