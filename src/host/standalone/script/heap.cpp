// The collected heap: a mark-and-sweep collector over every value created with `new`.
//
// Reference counting was ruled out because the plug-in hands out raw Value pointers
// and keeps them in frames it never releases value by value; a tracing collector lets
// those frames be plain slots. Collections run only at safe points (an evaluation
// starting, a loop turning), where the interpreter holds its temporaries on the root
// stack.

#include "heap.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "builtins.h"
#include "nesting.h"

namespace paravelle::host::script {
namespace {

constexpr std::size_t kMinimumThreshold = 10000;

// The block that Value::operator new handed out last on this thread: the Value whose
// base lies in it is a heap value; any other Value is a stack, member or static object.
struct PendingBlock {
  const char* start = nullptr;
  std::size_t size = 0;
};
thread_local PendingBlock pending;

struct ThreadRoots;

struct Heap {
  std::mutex mutex;
  Value* head = nullptr;
  std::atomic<std::size_t> live{0};
  std::size_t threshold = kMinimumThreshold;
  std::unordered_set<ThreadRoots*> threads;
  std::vector<Value*>* worklist = nullptr;  // set while a collection marks
  std::vector<Value*> marked_permanent;     // permanent values to unmark afterwards
};

// Never destroyed: values and frames may still unregister during static destruction.
Heap& heap() {
  static Heap* instance = new Heap;
  return *instance;
}

// One pushed allocation frame: where its values start in `allocated`, and whether it keeps
// what is made while it is innermost (an evaluation's frame does not).
struct AllocFrame {
  std::size_t start;
  bool keeps;
};

struct ThreadRoots {
  std::vector<Value*> stack;
  std::vector<const RootProvider*> providers;
  std::vector<Value*> allocated;  // values made while a keeping allocation frame is innermost
  std::vector<AllocFrame> alloc_frames;
  std::vector<const ScopedValueTempArray*> frames;  // in the order they were made

  ThreadRoots() {
    std::lock_guard lock(heap().mutex);
    heap().threads.insert(this);
  }
  ~ThreadRoots() {
    std::lock_guard lock(heap().mutex);
    heap().threads.erase(this);
  }
};

ThreadRoots& roots() {
  thread_local ThreadRoots instance;
  return instance;
}

bool lies_in(const void* address, const PendingBlock& block) {
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  const auto start = reinterpret_cast<std::uintptr_t>(block.start);
  return block.start && a >= start && a < start + block.size;
}

void mark_roots(Heap& h) {
  HeapAccess::trace_globals(*globals);
  for (ThreadRoots* thread : h.threads) {
    for (const ScopedValueTempArray* frame : thread->frames) HeapAccess::trace_frame(*frame);
    for (Value* v : thread->stack) gc_mark(v);
    for (Value* v : thread->allocated) gc_mark(v);
    for (const RootProvider* provider : thread->providers) provider->trace();
  }
}

void drain_worklist(std::vector<Value*>& worklist) {
  while (!worklist.empty()) {
    Value* v = worklist.back();
    worklist.pop_back();
    v->gc_trace();
  }
}

void unlink(Heap& h, Value* v) {
  Value*& prev = HeapAccess::prev(v);
  Value*& next = HeapAccess::next(v);
  if (prev)
    HeapAccess::next(prev) = next;
  else
    h.head = next;
  if (next) HeapAccess::prev(next) = prev;
  prev = next = nullptr;
}

// Unlinks every unmarked value and clears the marks of the others.
std::vector<Value*> sweep(Heap& h) {
  std::vector<Value*> dead;
  for (Value* v = h.head; v;) {
    Value* const following = HeapAccess::next(v);
    if (HeapAccess::marked(v)) {
      HeapAccess::marked(v) = false;
    } else {
      unlink(h, v);
      HeapAccess::set_collectable(v, false);
      dead.push_back(v);
    }
    v = following;
  }
  for (Value* v : h.marked_permanent) HeapAccess::marked(v) = false;
  h.marked_permanent.clear();
  h.live -= dead.size();
  return dead;
}

}  // namespace

void HeapAccess::register_value(Value* value) {
  ThreadRoots& thread = roots();
  Heap& h = heap();
  {
    std::lock_guard lock(h.mutex);
    value->collectable_ = true;
    value->gc_next_ = h.head;
    if (h.head) h.head->gc_prev_ = value;
    h.head = value;
    ++h.live;
  }
  if (!thread.alloc_frames.empty() && thread.alloc_frames.back().keeps) thread.allocated.push_back(value);
}

void HeapAccess::unregister_value(Value* value) {
  Heap& h = heap();
  {
    std::lock_guard lock(h.mutex);
    unlink(h, value);
    value->collectable_ = false;
    --h.live;
  }
  // A value deleted by hand while an allocation frame holds it must not stay a root.
  std::vector<Value*>& allocated = roots().allocated;
  const auto found = std::find(allocated.rbegin(), allocated.rend(), value);
  if (found != allocated.rend()) *found = nullptr;
}

void HeapAccess::trace_globals(const GlobalTable& table) {
  std::lock_guard lock(table.mutex_);
  for (const auto& [name, value] : table.table_) gc_mark(value);
}

void HeapAccess::trace_frame(const ScopedValueTempArray& frame) {
  for (std::size_t i = 0; i < frame.count_; ++i) gc_mark(frame.slots_[i]);
}

Rooted::Rooted(Value* value) : depth_(roots().stack.size()) { roots().stack.push_back(value); }

Rooted::~Rooted() { roots().stack.resize(depth_); }

RootedValues::RootedValues() : depth_(roots().stack.size()) {}

RootedValues::~RootedValues() { roots().stack.resize(depth_); }

void RootedValues::push(Value* value) { roots().stack.push_back(value); }

ProviderRegistration::ProviderRegistration(const RootProvider* provider) : provider_(provider) {
  roots().providers.push_back(provider);
}

ProviderRegistration::~ProviderRegistration() {
  std::vector<const RootProvider*>& providers = roots().providers;
  const auto found = std::find(providers.rbegin(), providers.rend(), provider_);
  if (found != providers.rend()) providers.erase(std::next(found).base());
}

EvaluationAllocations::EvaluationAllocations() {
  ThreadRoots& thread = roots();
  thread.alloc_frames.push_back({thread.allocated.size(), false});
}

EvaluationAllocations::~EvaluationAllocations() { pop_alloc_frame(); }

void keep_in_alloc_frame(Value* value) {
  ThreadRoots& thread = roots();
  if (value && !thread.alloc_frames.empty() && thread.alloc_frames.back().keeps) thread.allocated.push_back(value);
}

ThreadRuntimeMark HeapAccess::mark_thread() {
  const ThreadRoots& thread = roots();
  ThreadRuntimeMark mark;
  mark.rooted_ = thread.stack.size();
  mark.providers_ = thread.providers.size();
  mark.allocated_ = thread.allocated.size();
  mark.alloc_frames_ = thread.alloc_frames.size();
  mark.value_frames_ = thread.frames.size();
  mark.caught_errors_ = caught_exception_count();
  const Depths depths = current_depths();
  static_assert(std::extent_v<decltype(mark.depths_)> == kDepthKinds, "the mark keeps every kind of nesting");
  std::copy(std::begin(depths.counts), std::end(depths.counts), mark.depths_);
  mark.output_ = thread_local_current_stdout();
  return mark;
}

void HeapAccess::unwind_thread(const ThreadRuntimeMark& mark) {
  ThreadRoots& thread = roots();
  {
    std::lock_guard lock(heap().mutex);
    const auto shrink = [](auto& records, std::size_t size) {
      if (records.size() > size) records.resize(size);
    };
    shrink(thread.stack, mark.rooted_);
    shrink(thread.providers, mark.providers_);
    shrink(thread.allocated, mark.allocated_);
    shrink(thread.alloc_frames, mark.alloc_frames_);
    shrink(thread.frames, mark.value_frames_);
  }
  forget_caught_exceptions_after(mark.caught_errors_);
  Depths depths;
  std::copy(std::begin(mark.depths_), std::end(mark.depths_), depths.counts);
  restore_depths(depths);
  thread_local_current_stdout() = mark.output_;
}

ThreadRuntimeMark mark_thread_runtime() { return HeapAccess::mark_thread(); }

void unwind_thread_runtime(const ThreadRuntimeMark& mark) { HeapAccess::unwind_thread(mark); }

void collect_if_due() {
  if (heap().live.load() >= heap().threshold) collect_garbage();
}

void collect_garbage() {
  Heap& h = heap();
  std::vector<Value*> dead;
  {
    std::lock_guard lock(h.mutex);
    std::vector<Value*> worklist;
    h.worklist = &worklist;
    mark_roots(h);
    drain_worklist(worklist);
    h.worklist = nullptr;
    dead = sweep(h);
    h.threshold = std::max(kMinimumThreshold, h.live.load() * 2);
  }
  // Outside the lock: a destructor may create or free values of its own.
  for (Value* v : dead) delete v;
}

std::size_t live_value_count() { return heap().live.load(); }

}  // namespace paravelle::host::script

using paravelle::host::script::HeapAccess;

void gc_mark(Value* value) {
  paravelle::host::script::Heap& h = paravelle::host::script::heap();
  if (!value || !h.worklist || HeapAccess::marked(value)) return;
  HeapAccess::marked(value) = true;
  if (!HeapAccess::is_collectable(value)) h.marked_permanent.push_back(value);
  h.worklist->push_back(value);
}

Value::Value(const ValueMetaClass* class_tag) : tag(class_tag) {
  using paravelle::host::script::pending;
  if (paravelle::host::script::lies_in(this, pending)) {
    pending = {};
    HeapAccess::register_value(this);
  }
}

Value::~Value() {
  if (collectable_) HeapAccess::unregister_value(this);
}

void* Value::operator new(std::size_t size) {
  void* const block = ::operator new(size);
  paravelle::host::script::pending = {static_cast<const char*>(block), size};
  return block;
}

void Value::operator delete(void* block) {
  if (paravelle::host::script::pending.start == block) paravelle::host::script::pending = {};
  ::operator delete(block);
}

ScopedValueTempArray::ScopedValueTempArray(std::size_t count)
    : count_(count), slots_(std::make_unique<Value*[]>(count)) {
  paravelle::host::script::ThreadRoots& thread = paravelle::host::script::roots();
  std::lock_guard lock(paravelle::host::script::heap().mutex);
  thread.frames.push_back(this);
}

// Frames end in the reverse order of their making, so the search is short; a frame that
// ends on another thread than the one that made it is looked for there.
ScopedValueTempArray::~ScopedValueTempArray() {
  paravelle::host::script::ThreadRoots& own = paravelle::host::script::roots();
  paravelle::host::script::Heap& h = paravelle::host::script::heap();
  std::lock_guard lock(h.mutex);
  const auto forget = [this](paravelle::host::script::ThreadRoots& thread) {
    const auto found = std::find(thread.frames.rbegin(), thread.frames.rend(), this);
    if (found == thread.frames.rend()) return false;
    thread.frames.erase(std::next(found).base());
    return true;
  };
  if (forget(own)) return;
  for (paravelle::host::script::ThreadRoots* thread : h.threads) {
    if (forget(*thread)) return;
  }
}

Value*& ScopedValueTempArray::operator[](std::size_t index) {
  if (index >= count_) {
    throw RuntimeError(L"ScopedValueTempArray: slot " + std::to_wstring(index) + L" of " + std::to_wstring(count_) +
                       L" requested");
  }
  return slots_[index];
}

void init_thread_locals() {
  paravelle::host::script::roots();
  thread_local_current_stdout();
}

void push_alloc_frame() {
  paravelle::host::script::ThreadRoots& thread = paravelle::host::script::roots();
  thread.alloc_frames.push_back({thread.allocated.size(), true});
}

// An unmatched pop is ignored: it runs from destructors, where throwing would end the
// process.
void pop_alloc_frame() {
  paravelle::host::script::ThreadRoots& thread = paravelle::host::script::roots();
  if (thread.alloc_frames.empty()) return;
  thread.allocated.resize(std::min(thread.allocated.size(), thread.alloc_frames.back().start));
  thread.alloc_frames.pop_back();
}
