// Defining and calling functions: user functions, and calls of any callable value.

#include "functions.h"

#include "calls.h"
#include "errors.h"
#include "nesting.h"
#include "values.h"

namespace paravelle::host::script {

ValueMetaClass Function_class{L"MAXScriptFunction"};
ValueMetaClass Unsupplied_class{L"UnsuppliedClass"};
Unsupplied unsupplied;

namespace {

// Each call recurses in the interpreter. Past this depth, or with too little stack left
// for one more body of the greatest tree depth, a call is a script error instead of a
// stack overflow.
constexpr std::size_t kMaximumCallDepth = 2000;
constexpr std::size_t kStackForCall = 2 * 1024 * 1024;
constexpr wchar_t kCallsTooDeep[] = L"functions nested too deeply (a function that calls itself without end?)";

Value* keyword_given(const KeywordArguments& keywords, Name* name) {
  for (const auto& [keyword, value] : keywords) {
    if (keyword == name) return value;
  }
  return nullptr;
}

}  // namespace

// Keyword arguments the function does not declare are ignored, as the original language
// does.
Value* UserFunction::call(const std::vector<Value*>& arguments, const KeywordArguments& keywords, int line) {
  const FunctionDefinition& f = definition_;
  if (arguments.size() != f.parameters.size())
    throw_argument_count_error(f.name->text(), f.parameters.size(), arguments.size(), line);
  count_loop_turn(line);  // under a budget, a call is a turn: recursion that branches ends too
  const DepthGuard nested(DepthKind::calls, kMaximumCallDepth, kCallsTooDeep);
  if (stack_left() < kStackForCall) throw RuntimeError(kCallsTooDeep);
  auto* environment = new Environment(closure_);
  Rooted keep(environment);
  for (std::size_t i = 0; i < arguments.size(); ++i) environment->define(f.parameters[i], arguments[i]);
  Evaluator evaluator(program_, environment, environment);
  try {
    for (const Keyword& parameter : f.keywords) {
      Value* value = keyword_given(keywords, parameter.name);
      if (!value) value = parameter.value ? parameter.value->eval(evaluator) : &unsupplied;
      environment->define(parameter.name, value);
    }
    return f.body->eval(evaluator);
  } catch (const FunctionReturn& returned) {
    return returned.value;
  }
}

void UserFunction::sprin1(CharStream* stream) {
  stream->puts(definition_.name->text().c_str());
  stream->puts(L"()");
}

Value* FunctionDefinition::eval(Evaluator& e) const {
  auto* function = new UserFunction(*this, e.program(), e.scope());
  if (local && e.scope()) {
    e.scope()->define(name, function);
  } else {
    if (constant_named(name)) throw RuntimeError(L"Cannot assign to constant: " + name->text(), line);
    globals->set(name, function);
  }
  return function;
}

Value* Return::eval(Evaluator& e) const { throw FunctionReturn{value ? value->eval(e) : &ok}; }

Value* Call::eval(Evaluator& e) const {
  Value* function = callee->eval(e);
  Rooted keep(function);
  std::vector<Value*> values;
  values.reserve(arguments.size());
  RootedValues kept;
  for (const NodePtr& argument : arguments) {
    values.push_back(argument->eval(e));
    kept.push(values.back());
  }
  KeywordArguments named;
  for (const Keyword& keyword : keywords) {
    named.emplace_back(keyword.name, keyword.value->eval(e));
    kept.push(named.back().second);
  }
  if (function->is_kind_of(&Function_class)) return static_cast<UserFunction*>(function)->call(values, named, line);
  if (!named.empty() && (function->is_kind_of(&Primitive_class) || is_interface_function(function))) {
    throw RuntimeError(print_form(function) + L" takes no keyword arguments, got " + named.front().first->text() + L":",
                       line);
  }
  return call_function(function, values, line);
}

}  // namespace paravelle::host::script
