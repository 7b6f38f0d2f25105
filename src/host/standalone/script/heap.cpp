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
#include <unordered_set>
#include <vector>

namespace host::script {
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
  std::unordered_set<const ScopedValueTempArray*> frames;
  std::vector<Value*>* worklist = nullptr;  // set while a collection marks
  std::vector<Value*> marked_permanent;     // permanent values to unmark afterwards
};

// Never destroyed: values and frames may still unregister during static destruction.
Heap& heap() {
  static Heap* instance = new Heap;
  return *instance;
}

struct ThreadRoots {
  std::vector<Value*> stack;
  std::vector<const RootProvider*> providers;
  std::vector<Value*> allocated;  // values made while an allocation frame is pushed
  std::vector<std::size_t> alloc_marks;

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
  for (const ScopedValueTempArray* frame : h.frames) HeapAccess::trace_frame(*frame);
  for (ThreadRoots* thread : h.threads) {
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
  if (prev) HeapAccess::next(prev) = next;
  else h.head = next;
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
  if (!thread.alloc_marks.empty()) thread.allocated.push_back(value);
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

}  // namespace host::script

using host::script::HeapAccess;

void gc_mark(Value* value) {
  host::script::Heap& h = host::script::heap();
  if (!value || !h.worklist || HeapAccess::marked(value)) return;
  HeapAccess::marked(value) = true;
  if (!HeapAccess::is_collectable(value)) h.marked_permanent.push_back(value);
  h.worklist->push_back(value);
}

Value::Value(const ValueMetaClass* class_tag) : tag(class_tag) {
  using host::script::pending;
  if (host::script::lies_in(this, pending)) {
    pending = {};
    HeapAccess::register_value(this);
  }
}

Value::~Value() {
  if (collectable_) HeapAccess::unregister_value(this);
}

void* Value::operator new(std::size_t size) {
  void* const block = ::operator new(size);
  host::script::pending = {static_cast<const char*>(block), size};
  return block;
}

void Value::operator delete(void* block) {
  if (host::script::pending.start == block) host::script::pending = {};
  ::operator delete(block);
}

ScopedValueTempArray::ScopedValueTempArray(std::size_t count)
    : count_(count), slots_(std::make_unique<Value*[]>(count)) {
  std::lock_guard lock(host::script::heap().mutex);
  host::script::heap().frames.insert(this);
}

ScopedValueTempArray::~ScopedValueTempArray() {
  std::lock_guard lock(host::script::heap().mutex);
  host::script::heap().frames.erase(this);
}

Value*& ScopedValueTempArray::operator[](std::size_t index) {
  if (index >= count_) {
    throw RuntimeError(L"ScopedValueTempArray: slot " + std::to_wstring(index) + L" of " +
                       std::to_wstring(count_) + L" requested");
  }
  return slots_[index];
}

void init_thread_locals() {
  host::script::roots();
  thread_local_current_stdout();
}

void push_alloc_frame() {
  host::script::ThreadRoots& thread = host::script::roots();
  thread.alloc_marks.push_back(thread.allocated.size());
}

// An unmatched pop is ignored: it runs from destructors, where throwing would end the
// process.
void pop_alloc_frame() {
  host::script::ThreadRoots& thread = host::script::roots();
  if (thread.alloc_marks.empty()) return;
  thread.allocated.resize(thread.alloc_marks.back());
  thread.alloc_marks.pop_back();
}
