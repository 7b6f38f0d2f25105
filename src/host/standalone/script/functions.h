#pragma once
// Functions written in scripts: `fn name a b key:default = body`.

#include <memory>
#include <utility>
#include <vector>

#include "evaluator.h"

namespace paravelle::host::script {

extern ValueMetaClass Function_class;
extern ValueMetaClass Unsupplied_class;

// The value of a keyword parameter the call did not give and that has no default.
class Unsupplied : public Value {
 public:
  Unsupplied() : Value(&Unsupplied_class) {}
  const wchar_t* to_string() override { return L"unsupplied"; }
  void sprin1(CharStream* stream) override { stream->puts(L"unsupplied"); }
};
extern Unsupplied unsupplied;

using KeywordArguments = std::vector<std::pair<Name*, Value*>>;

// A function defined by a script. It keeps the compiled script it came from (so it can be
// called after that script's code is gone) and the environment it was defined in.
class UserFunction : public Value {
 public:
  UserFunction(const FunctionDefinition& definition, std::shared_ptr<const Program> program, Environment* closure)
      : Value(&Function_class), definition_(definition), program_(std::move(program)), closure_(closure) {}
  // Runs the body with the parameters bound. The arguments must be rooted by the caller.
  Value* call(const std::vector<Value*>& arguments, const KeywordArguments& keywords, int line);
  void sprin1(CharStream* stream) override;  // name()
  void gc_trace() override { gc_mark(closure_); }

 private:
  const FunctionDefinition& definition_;
  std::shared_ptr<const Program> program_;
  Environment* closure_;
};

}  // namespace paravelle::host::script
