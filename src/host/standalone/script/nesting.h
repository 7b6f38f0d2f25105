#pragma once
// Guards against recursions that script data or nested scripts drive arbitrarily deep
// (nested evaluations, printing nested arrays): past a limit they become script errors
// instead of stack overflows.

#include <cstddef>
#include <cstdint>

namespace paravelle::host::script {

enum class DepthKind { evaluation, printing, calls };
constexpr std::size_t kDepthKinds = 3;

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

// A budget for the scripts run on the calling thread while the object lives; without one
// nothing is counted. A host that runs scripts it cannot trust to end (a fuzzer, say)
// bounds their time by loop turns and their memory traffic by the characters of text they
// make (joined, formatted, printed); past either, the script fails with a RuntimeError.
// Budgets nest; the inner one holds inside.
class ScriptBudget {
 public:
  ScriptBudget(std::uint64_t loop_turns, std::uint64_t text_characters);
  ~ScriptBudget();
  ScriptBudget(const ScriptBudget&) = delete;
  ScriptBudget& operator=(const ScriptBudget&) = delete;

 private:
  bool had_budget_;
  std::uint64_t previous_turns_;
  std::uint64_t previous_characters_;
};

// One turn of a loop at `line`, and `characters` of text made: counted against the calling
// thread's budget, if any.
void count_loop_turn(int line);
void count_text(std::size_t characters, int line = 0);

// Bytes of stack left below the calling frame on this thread (a very large number when
// the thread's stack cannot be told).
std::size_t stack_left();

}  // namespace paravelle::host::script
