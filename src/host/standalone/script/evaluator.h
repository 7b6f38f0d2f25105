#pragma once
// The tree-walking evaluator: environments of local variables, name resolution, and the
// signals that leave loops and functions early.

#include <memory>
#include <utility>
#include <vector>

#include "ast.h"
#include "heap.h"

namespace paravelle::host::script {

extern ValueMetaClass Environment_class;

// The local variables of one block, loop or function call. Environments live on the
// collected heap because functions keep the one they were defined in (a function defined
// in a block still sees the block's locals after the block ended).
class Environment : public Value {
 public:
  explicit Environment(Environment* parent) : Value(&Environment_class), parent_(parent) {}
  Environment* parent() const { return parent_; }
  Value** find_here(Name* name);
  void define(Name* name, Value* value);
  void gc_trace() override;

 private:
  Environment* parent_;
  std::vector<std::pair<Name*, Value*>> variables_;
};

class Evaluator {
 public:
  // `function_scope` is the environment of the function call being evaluated (null at
  // the top of a script): a name first assigned in a function becomes one of its locals.
  Evaluator(std::shared_ptr<const Program> program, Environment* scope = nullptr, Environment* function_scope = nullptr)
      : program_(std::move(program)), scope_(scope), function_scope_(function_scope) {}

  Value* run() { return program_->body->eval(*this); }
  const std::shared_ptr<const Program>& program() const { return program_; }

  Environment* scope() const { return scope_; }
  void enter(Environment* scope) { scope_ = scope; }

  // Locals first (innermost out), then the constants, then globals, then published
  // interfaces; else null.
  Value* resolve(Name* name) const;
  // A local if one of that name is visible; else inside a function a new local unless a
  // global of that name exists; else the global. Constants cannot be assigned.
  void assign(Name* name, Value* value, int line);

 private:
  std::shared_ptr<const Program> program_;
  Environment* scope_;
  Environment* function_scope_;
};

// Enters a new environment (rooted) for the lifetime of the guard.
class ScopeGuard {
 public:
  explicit ScopeGuard(Evaluator& evaluator)
      : evaluator_(evaluator), outer_(evaluator.scope()), environment_(new Environment(outer_)), keep_(environment_) {
    evaluator_.enter(environment_);
  }
  ~ScopeGuard() { evaluator_.enter(outer_); }
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  Environment& scope() { return *environment_; }

 private:
  Evaluator& evaluator_;
  Environment* const outer_;
  Environment* const environment_;
  Rooted keep_;
};

// A node's value, kept from the collector for as long as this lives: what an expression
// evaluates first must survive the evaluation of the next.
class Evaluated {
 public:
  Evaluated(const Node& node, Evaluator& evaluator) : value_(node.eval(evaluator)), keep_(value_) {}
  Evaluated(const Evaluated&) = delete;
  Evaluated& operator=(const Evaluated&) = delete;
  Value* get() const { return value_; }

 private:
  Value* const value_;
  Rooted keep_;
};

// `exit [with value]` and `continue` travel to the innermost loop, `return` to the
// function call, as C++ exceptions: the parser lets them appear only where one of those
// is around them, so they never leave an evaluation. A value they carry is reachable
// only from the exception; no collection runs while it travels.
struct LoopExit {
  Value* value;  // null without `with`
};
struct LoopContinue {};
struct FunctionReturn {
  Value* value;
};

// The named constants: pi, e, on, off, unsupplied; null for other names.
Value* constant_named(Name* name);

}  // namespace paravelle::host::script
