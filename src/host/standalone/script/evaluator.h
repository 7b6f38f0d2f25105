#pragma once
// The tree-walking evaluator: scopes of local variables and name resolution.

#include <utility>
#include <vector>

#include "ast.h"
#include "heap.h"

namespace paravelle::host::script {

// The local variables of one block (or one loop). Registered as a collection root for
// as long as it exists.
class Scope : public RootProvider {
 public:
  explicit Scope(Scope* parent) : parent_(parent), registration_(this) {}
  Scope* parent() const { return parent_; }
  Value** find_here(Name* name);
  void define(Name* name, Value* value);
  void trace() const override;

 private:
  Scope* parent_;
  std::vector<std::pair<Name*, Value*>> variables_;
  ProviderRegistration registration_;
};

class Evaluator {
 public:
  Value* run(const Program& program);

  Scope* scope() const { return scope_; }
  void enter(Scope* scope) { scope_ = scope; }
  void leave(Scope* scope) { scope_ = scope->parent(); }

  // Locals first (innermost out), then globals, then published interfaces; else null.
  Value* resolve(Name* name) const;
  // A local if one of that name is visible, else the global.
  void assign(Name* name, Value* value);

 private:
  Scope* scope_ = nullptr;
};

// Enters a scope for the lifetime of the guard.
class ScopeGuard {
 public:
  explicit ScopeGuard(Evaluator& evaluator) : evaluator_(evaluator), scope_(evaluator.scope()) {
    evaluator_.enter(&scope_);
  }
  ~ScopeGuard() { evaluator_.leave(&scope_); }
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  Scope& scope() { return scope_; }

 private:
  Evaluator& evaluator_;
  Scope scope_;
};

}  // namespace paravelle::host::script
