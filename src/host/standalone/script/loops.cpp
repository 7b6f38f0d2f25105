// The loops: for (counting or over a collection, with `where` and `collect`), while and
// do ... while, and `exit` and `continue` inside them. Each turn is a point where the heap
// may be collected, and a turn of a script's budget.

#include <climits>
#include <cmath>

#include "errors.h"
#include "evaluator.h"
#include "nesting.h"
#include "operators.h"
#include "values.h"

namespace paravelle::host::script {
namespace {

// The turns of one loop: the `where` test, the body, and what the loop gives. It roots
// the collected array and the last body value, which live across collections.
class LoopRun : public RootProvider {
 public:
  LoopRun(Evaluator& e, const Node* where, const Node& body, bool collect)
      : evaluator_(e), where_(where), body_(body), collected_(collect ? new Array : nullptr), registration_(this) {}

  // One turn; false when the body left the loop with `exit`.
  bool turn(int line) {
    count_loop_turn(line);
    try {
      if (!where_ || truth_of(where_->eval(evaluator_), where_->line)) {
        last_ = body_.eval(evaluator_);
        if (collected_) {
          check_array_length(collected_->size() + 1, line);
          collected_->append(last_);
        }
      }
    } catch (const LoopContinue&) {
    } catch (const LoopExit& exit) {
      result_ = exit.value;
      return false;
    }
    collect_if_due();
    return true;
  }

  // What the loop gives when it ran to its end (`exited` false) or was left by `exit`:
  // the value after `with`; else a collecting loop's array (so far); else `otherwise`.
  Value* result(Value* otherwise) const {
    if (result_) return result_;
    return collected_ ? collected_ : otherwise;
  }
  Value* last() const { return last_; }

  void trace() const override {
    gc_mark(collected_);
    gc_mark(last_);
  }

 private:
  Evaluator& evaluator_;
  const Node* const where_;
  const Node& body_;
  Array* const collected_;
  Value* last_ = nullptr;
  Value* result_ = nullptr;
  ProviderRegistration registration_;
};

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
    if (!turn(new Float(i))) return;
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
// A for ... in loop walks the elements the collection had when the loop started.
Value* For::eval(Evaluator& e) const {
  Value* start = from->eval(e);
  Rooted keep_start(start);
  if (!to) {
    if (!start->is_kind_of(&Array_class)) throw_no_function(L"map", start, from->line);
    auto* elements = new Array(static_cast<Array*>(start)->size());
    Rooted keep_elements(elements);
    for (Value* element : static_cast<Array*>(start)->items()) elements->append(element ? element : &undefined);
    ScopeGuard guard(e);
    LoopRun run(e, where.get(), *body, collect);
    for (Value* element : elements->items()) {
      guard.scope().define(variable, element);
      if (!run.turn(line)) break;
    }
    return run.result(&ok);
  }
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
  LoopRun run(e, where.get(), *body, collect);
  const auto turn = [&](Value* counter) {
    guard.scope().define(variable, counter);
    return run.turn(line);
  };
  if (integral) {
    const auto a = static_cast<long long>(first), b = static_cast<long long>(last);
    const auto d = static_cast<long long>(increment);
    for (long long i = a; d > 0 ? i <= b : i >= b; i += d) {
      if (!turn(new Integer(static_cast<int>(i)))) break;
    }
  } else {
    count_in_floats(first, last, increment, line, turn);
  }
  return run.result(&ok);
}

// A while loop gives its body's last value (undefined when the body never ran).
Value* While::eval(Evaluator& e) const {
  LoopRun run(e, nullptr, *body, false);
  const auto test = [&] { return truth_of(condition->eval(e), condition->line); };
  if (test_first) {
    while (test()) {
      if (!run.turn(line)) return run.result(&ok);
    }
  } else {
    do {
      if (!run.turn(line)) return run.result(&ok);
    } while (test());
  }
  return run.last() ? run.last() : &undefined;
}

Value* Exit::eval(Evaluator& e) const { throw LoopExit{value ? value->eval(e) : nullptr}; }

Value* Continue::eval(Evaluator&) const { throw LoopContinue{}; }

}  // namespace paravelle::host::script
