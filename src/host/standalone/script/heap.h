#pragma once
// The collected heap's private side: what the interpreter uses to keep its own
// temporaries alive while a collection may run.

#include <cstddef>
#include <vector>

#include "host/maxscript_runtime.h"

namespace paravelle::host::script {

// Something that holds values the collector must see (an interpreter scope, say).
class RootProvider {
 public:
  virtual void trace() const = 0;

 protected:
  ~RootProvider() = default;
};

// Keeps a value alive until the end of the C++ scope (the calling thread's root stack).
class Rooted {
 public:
  explicit Rooted(Value* value);
  ~Rooted();
  Rooted(const Rooted&) = delete;
  Rooted& operator=(const Rooted&) = delete;

 private:
  std::size_t depth_;
};

// Keeps any number of values alive until the end of the C++ scope.
class RootedValues {
 public:
  RootedValues();
  ~RootedValues();
  RootedValues(const RootedValues&) = delete;
  RootedValues& operator=(const RootedValues&) = delete;
  void push(Value* value);

 private:
  std::size_t depth_;
};

// Keeps a provider's values alive while it exists (registers it with the calling thread).
class ProviderRegistration {
 public:
  explicit ProviderRegistration(const RootProvider* provider);
  ~ProviderRegistration();
  ProviderRegistration(const ProviderRegistration&) = delete;
  ProviderRegistration& operator=(const ProviderRegistration&) = delete;

 private:
  const RootProvider* provider_;
};

// A point where the interpreter holds nothing unrooted: collects if enough values were
// created since the last collection.
void collect_if_due();

// While an evaluation runs, the values it makes are not kept by the allocation frames
// around it: the evaluator roots what it still needs itself, so the temporaries of a
// loop can be collected while the loop runs. C++ code that the script calls and that
// pushes an allocation frame of its own is covered by that frame again.
class EvaluationAllocations {
 public:
  EvaluationAllocations();
  ~EvaluationAllocations();
  EvaluationAllocations(const EvaluationAllocations&) = delete;
  EvaluationAllocations& operator=(const EvaluationAllocations&) = delete;
};

// Hands a value that an evaluation returns to the innermost allocation frame, which keeps
// it as it keeps anything made while it is pushed.
void keep_in_alloc_frame(Value* value);

struct HeapAccess {
  static ThreadRuntimeMark mark_thread();
  static void unwind_thread(const ThreadRuntimeMark& mark);
  static void register_value(Value* value);
  static void unregister_value(Value* value);
  static void trace_globals(const GlobalTable& table);
  static void trace_frame(const ScopedValueTempArray& frame);
  static bool is_collectable(const Value* value) { return value->collectable_; }
  static bool& marked(Value* value) { return value->gc_marked_; }
  static Value*& prev(Value* value) { return value->gc_prev_; }
  static Value*& next(Value* value) { return value->gc_next_; }
  static void set_collectable(Value* value, bool on) { value->collectable_ = on; }
};

}  // namespace paravelle::host::script
