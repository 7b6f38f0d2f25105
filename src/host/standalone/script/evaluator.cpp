// Evaluation of each kind of expression. Every value the evaluator holds while it
// evaluates something else is rooted, because that evaluation may run a collection.

#include "evaluator.h"

#include <climits>
#include <cmath>

#include "builtins.h"
#include "calls.h"
#include "nesting.h"
#include "operators.h"
#include "values.h"

namespace paravelle::host::script {

Value** Scope::find_here(Name* name) {
  for (auto& [key, value] : variables_) {
    if (key == name) return &value;
  }
  return nullptr;
}

void Scope::define(Name* name, Value* value) {
  if (Value** existing = find_here(name))
    *existing = value;
  else
    variables_.emplace_back(name, value);
}

void Scope::trace() const {
  for (const auto& [name, value] : variables_) gc_mark(value);
}

Value* Evaluator::run(const Program& program) { return program.body->eval(*this); }

Value* Evaluator::resolve(Name* name) const {
  for (Scope* s = scope_; s; s = s->parent()) {
    if (Value** local = s->find_here(name)) return *local;
  }
  if (Value* global = globals->get(name)) return global;
  return interface_named(name);
}

void Evaluator::assign(Name* name, Value* value) {
  for (Scope* s = scope_; s; s = s->parent()) {
    if (Value** local = s->find_here(name)) {
      *local = value;
      return;
    }
  }
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

Value* Block::eval(Evaluator& e) const {
  if (expressions.empty()) return top_level ? static_cast<Value*>(&ok) : &undefined;
  ScopeGuard guard(e);
  Value* last = &undefined;
  for (const NodePtr& expression : expressions) last = expression->eval(e);
  return last;
}

Value* Assignment::eval(Evaluator& e) const {
  Value* result = value->eval(e);
  e.assign(name, result);
  return result;
}

Value* PropertyAssignment::eval(Evaluator& e) const {
  Value* target = object->eval(e);
  Rooted keep_target(target);
  Value* result = value->eval(e);
  Rooted keep_result(result);
  write_property(target, property, result, line);
  return result;
}

Value* Declaration::eval(Evaluator& e) const {
  Value* last = &undefined;
  for (const auto& [name, initial] : entries) {
    last = initial ? initial->eval(e) : &undefined;
    if (global || !e.scope())
      globals->set(name, last);
    else
      e.scope()->define(name, last);
  }
  return last;
}

Value* Binary::eval(Evaluator& e) const {
  Value* a = left->eval(e);
  Rooted keep(a);
  Value* b = right->eval(e);
  Rooted keep_b(b);
  return apply_binary(op, a, b, line);
}

Value* Logical::eval(Evaluator& e) const {
  const bool first = truth_of(left->eval(e), left->line);
  if (conjunction != first) return bool_result(first);
  return bool_result(truth_of(right->eval(e), right->line));
}

Value* Not::eval(Evaluator& e) const { return bool_result(!truth_of(operand->eval(e), line)); }

Value* Negate::eval(Evaluator& e) const { return negate(operand->eval(e), line); }

Value* Conversion::eval(Evaluator& e) const {
  Value* value = operand->eval(e);
  Rooted keep(value);
  return convert_as(value, target, line);
}

Value* PropertyRead::eval(Evaluator& e) const {
  Value* target = object->eval(e);
  Rooted keep(target);
  const auto* written_name = dynamic_cast<const NameReference*>(object.get());
  return read_property(target, property, written_name ? written_name->name->text() : std::wstring(), line);
}

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
  return call_function(function, values, line);
}

Value* If::eval(Evaluator& e) const {
  if (truth_of(condition->eval(e), condition->line)) return then_branch->eval(e);
  return else_branch ? else_branch->eval(e) : &undefined;
}

namespace {

double number_of(Value* value, int line) {
  if (value->is_kind_of(&Integer_class)) return static_cast<Integer*>(value)->value();
  if (value->is_kind_of(&Float_class)) return static_cast<Float*>(value)->value();
  throw_conversion_error(value, L"Number", line);
}

void check_loop_numbers(double first, double last, double increment, int line) {
  if (increment == 0) throw RuntimeError(L"for loop step must not be zero", line);
  // A loop towards infinity (or from it, or by it) never ends by its count.
  for (const double number : {first, last, increment}) {
    if (!std::isfinite(number))
      throw RuntimeError(L"for loop bounds and step must be finite, got " + format_float(number), line);
  }
}

// Counts in floating point. Where the step is lost in the rounding of a large value, the
// loop is over if the exact next value lies past the end, and could never get there
// otherwise.
template <class Turn>
void count_in_floats(double first, double last, double increment, int line, const Turn& turn) {
  for (double i = first; increment > 0 ? i <= last : i >= last;) {
    turn(new Float(i));
    const double next = i + increment;
    if (next != i) {
      i = next;
      continue;
    }
    const double left_to_go = increment > 0 ? last - i : i - last;
    if (left_to_go < std::fabs(increment)) return;
    throw RuntimeError(L"for loop cannot advance: " + format_float(i) + L" plus the step " + format_float(increment) +
                           L" is still " + format_float(i),
                       line);
  }
}

}  // namespace

// Integer loops count in 64 bits so that a loop ending at the largest integer stops there.
Value* For::eval(Evaluator& e) const {
  Value* start = from->eval(e);
  Rooted keep_start(start);
  Value* end = to->eval(e);
  Rooted keep_end(end);
  Value* by = step ? step->eval(e) : nullptr;
  Rooted keep_by(by);
  const double first = number_of(start, from->line);
  const double last = number_of(end, to->line);
  const double increment = by ? number_of(by, step->line) : 1.0;
  check_loop_numbers(first, last, increment, line);
  const bool integral =
      start->is_kind_of(&Integer_class) && end->is_kind_of(&Integer_class) && (!by || by->is_kind_of(&Integer_class));
  ScopeGuard guard(e);
  const auto turn = [&](Value* counter) {
    count_loop_turn(line);
    guard.scope().define(variable, counter);
    body->eval(e);
    collect_if_due();
  };
  if (integral) {
    const auto a = static_cast<long long>(first), b = static_cast<long long>(last);
    const auto d = static_cast<long long>(increment);
    for (long long i = a; d > 0 ? i <= b : i >= b; i += d) turn(new Integer(static_cast<int>(i)));
  } else {
    count_in_floats(first, last, increment, line, turn);
  }
  return &ok;
}

Value* Try::eval(Evaluator& e) const {
  Scope* const scope = e.scope();
  std::wstring caught;
  try {
    return body->eval(e);
  } catch (const MAXScriptException& error) {
    caught = printed(error);
  }
  // Scopes the failed body entered have unwound; continue in the try's own.
  e.enter(scope);
  CaughtException current(std::move(caught));
  return handler->eval(e);
}

Value* Throw::eval(Evaluator& e) const {
  Value* value = message->eval(e);
  throw RuntimeError(display_form(value));
}

}  // namespace paravelle::host::script
