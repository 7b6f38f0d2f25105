#pragma once
// Guards against recursions that script data or nested scripts drive arbitrarily deep
// (nested evaluations, printing nested arrays): past a limit they become script errors
// instead of stack overflows.

#include <cstddef>

namespace host::script {

enum class DepthKind { evaluation, printing };
constexpr std::size_t kDepthKinds = 2;

// Counts the calling thread's nesting of one kind; the constructor throws RuntimeError
// with `message` when the count would pass `limit`.
class DepthGuard {
 public:
  DepthGuard(DepthKind kind, std::size_t limit, const wchar_t* message);
  ~DepthGuard();
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

  // This guard's level: 1 for the outermost.
  std::size_t depth() const { return level_; }

 private:
  std::size_t& count_;
  std::size_t level_;
};

// The calling thread's counts, for a trap that abandons guards without their destructors.
struct Depths {
  std::size_t counts[kDepthKinds] = {};
};
Depths current_depths();
void restore_depths(const Depths& depths);

// Bytes of stack left below the calling frame on this thread (a very large number when
// the thread's stack cannot be told).
std::size_t stack_left();

}  // namespace host::script
