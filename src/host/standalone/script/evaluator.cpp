// Evaluation of names, blocks, assignments, operators and the simple control flow. Every
// value the evaluator holds while it evaluates something else is rooted, because that
// evaluation may run a collection. Loops are in loops.cpp, functions in functions.cpp,
// indexing in indexing.cpp.

#include "evaluator.h"

#include <numbers>

#include "builtins.h"
#include "calls.h"
#include "errors.h"
#include "functions.h"
#include "nesting.h"
#include "operators.h"
#include "values.h"

namespace paravelle::host::script {

ValueMetaClass Environment_class{L"Environment"};

Value** Environment::find_here(Name* name) {
  for (auto& [key, value] : variables_) {
    if (key == name) return &value;
  }
  return nullptr;
}

void Environment::define(Name* name, Value* value) {
  if (Value** existing = find_here(name))
    *existing = value;
  else
    variables_.emplace_back(name, value);
}

void Environment::gc_trace() {
  gc_mark(parent_);
  for (const auto& [name, value] : variables_) gc_mark(value);
}

Value* constant_named(Name* name) {
  static Float pi(std::numbers::pi);
  static Float e(std::numbers::e);
  static const std::pair<Name*, Value*> constants[] = {{Name::intern(L"pi"), &pi},
                                                       {Name::intern(L"e"), &e},
                                                       {Name::intern(L"on"), &true_value},
                                                       {Name::intern(L"off"), &false_value},
                                                       {Name::intern(L"unsupplied"), &unsupplied}};
  for (const auto& [constant, value] : constants) {
    if (constant == name) return value;
  }
  return nullptr;
}

Value* Evaluator::resolve(Name* name) const {
  for (Environment* s = scope_; s; s = s->parent()) {
    if (Value** local = s->find_here(name)) return *local;
  }
  if (Value* constant = constant_named(name)) return constant;
  if (Value* global = globals->get(name)) return global;
  return interface_named(name);
}

void Evaluator::assign(Name* name, Value* value, int line) {
  for (Environment* s = scope_; s; s = s->parent()) {
    if (Value** local = s->find_here(name)) {
      *local = value;
      return;
    }
  }
  if (constant_named(name)) throw RuntimeError(L"Cannot assign to constant: " + name->text(), line);
  if (function_scope_ && !globals->get(name))
    function_scope_->define(name, value);
  else
    globals->set(name, value);
}

Value* IntegerLiteral::eval(Evaluator&) const { return new Integer(value); }

Value* FloatLiteral::eval(Evaluator&) const { return new Float(value); }

Value* StringLiteral::eval(Evaluator&) const { return new String(value); }

Value* ConstantLiteral::eval(Evaluator&) const { return value; }

Value* ArrayLiteral::eval(Evaluator& e) const {
  auto* array = new Array(elements.size());
  Rooted keep(array);
  for (const NodePtr& element : elements) array->append(element->eval(e));
  return array;
}

Value* NameReference::eval(Evaluator& e) const {
  Value* value = e.resolve(name);
  return value ? value : &undefined;
}

namespace {

// The name a property's object was written as (`box` in `box.width`), for the error
// texts; empty when the object is any other expression.
std::wstring written_name(const Node& object) {
  const auto* reference = dynamic_cast<const NameReference*>(&object);
  return reference ? reference->name->text() : std::wstring();
}

Value* run_block(const NodeList& expressions, Evaluator& e) {
  Value* last = &undefined;
  for (const NodePtr& expression : expressions) last = expression->eval(e);
  return last;
}

}  // namespace

Value* Block::eval(Evaluator& e) const {
  if (expressions.empty()) return top_level ? static_cast<Value*>(&ok) : &undefined;
  if (!has_scope) return run_block(expressions, e);
  ScopeGuard guard(e);
  return run_block(expressions, e);
}

Value* Assignment::eval(Evaluator& e) const {
  Value* result = value->eval(e);
  if (compound) {
    Rooted keep(result);
    Value* current = e.resolve(name);
    result = apply_binary(op, current ? current : &undefined, result, line);
  }
  e.assign(name, result, line);
  return result;
}

Value* PropertyAssignment::eval(Evaluator& e) const {
  const Evaluated target(*object, e);
  Value* result = value->eval(e);
  Rooted keep_result(result);
  if (compound) {
    Value* current = read_property(target.get(), property, written_name(*object), line);
    Rooted keep_current(current);
    result = apply_binary(op, current, result, line);
  }
  Rooted keep_combined(result);
  write_property(target.get(), property, result, line);
  return result;
}

Value* Declaration::eval(Evaluator& e) const {
  Value* last = &undefined;
  for (const auto& [name, initial] : entries) {
    last = initial ? initial->eval(e) : &undefined;
    if (!global && e.scope())
      e.scope()->define(name, last);
    else if (constant_named(name))
      throw RuntimeError(L"Cannot assign to constant: " + name->text(), line);
    else
      globals->set(name, last);
  }
  return last;
}

Value* Binary::eval(Evaluator& e) const {
  const Evaluated a(*left, e);
  const Evaluated b(*right, e);
  return apply_binary(op, a.get(), b.get(), line);
}

Value* Logical::eval(Evaluator& e) const {
  const bool first = truth_of(left->eval(e), left->line);
  if (conjunction != first) return bool_result(first);
  return bool_result(truth_of(right->eval(e), right->line));
}

Value* Not::eval(Evaluator& e) const { return bool_result(!truth_of(operand->eval(e), line)); }

Value* Negate::eval(Evaluator& e) const { return negate(operand->eval(e), line); }

Value* Conversion::eval(Evaluator& e) const {
  const Evaluated value(*operand, e);
  return convert_as(value.get(), target, line);
}

Value* PropertyRead::eval(Evaluator& e) const {
  const Evaluated target(*object, e);
  return read_property(target.get(), property, written_name(*object), line);
}

Value* If::eval(Evaluator& e) const {
  if (truth_of(condition->eval(e), condition->line)) return then_branch->eval(e);
  return else_branch ? else_branch->eval(e) : &undefined;
}

Value* Try::eval(Evaluator& e) const {
  Environment* const scope = e.scope();
  std::wstring caught;
  std::exception_ptr error;
  try {
    return body->eval(e);
  } catch (const MAXScriptException& failure) {
    caught = error_text(failure);
    error = std::current_exception();
  }
  // Scopes the failed body entered have unwound; continue in the try's own.
  e.enter(scope);
  CaughtException current(std::move(caught), std::move(error));
  return handler->eval(e);
}

// throw "text" gives a runtime error of exactly that text; a value after it is printed
// after the text; a bare throw inside a handler raises the caught error again.
Value* Throw::eval(Evaluator& e) const {
  if (!message) rethrow_caught_exception(line);
  const Evaluated text(*message, e);
  std::wstring raised = display_form(text.get());
  if (value) raised += print_form(value->eval(e));
  check_string_length(raised.size(), line);
  throw RuntimeError(raised);
}

}  // namespace paravelle::host::script
