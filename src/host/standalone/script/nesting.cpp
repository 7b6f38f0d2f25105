#include "nesting.h"

#include <pthread.h>

#include <cstdint>
#include <limits>

#include "host/maxscript.h"

namespace paravelle::host::script {
namespace {

thread_local std::size_t depth_counts[kDepthKinds] = {};
thread_local bool budget_set = false;
thread_local std::uint64_t turns_left = 0;
thread_local std::uint64_t characters_left = 0;

// The lowest address of the calling thread's stack; null when the system cannot tell.
const char* stack_low_end() {
  pthread_attr_t attributes;
  if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) return nullptr;
  void* low = nullptr;
  std::size_t size = 0;
  std::size_t guard = 0;
  const bool known = ::pthread_attr_getstack(&attributes, &low, &size) == 0;
  ::pthread_attr_getguardsize(&attributes, &guard);
  ::pthread_attr_destroy(&attributes);
  return known ? static_cast<const char*>(low) + guard : nullptr;
}

}  // namespace

DepthGuard::DepthGuard(DepthKind kind, std::size_t limit, const wchar_t* message)
    : count_(depth_counts[static_cast<std::size_t>(kind)]), level_(count_ + 1) {
  if (level_ > limit) throw RuntimeError(message);
  count_ = level_;
}

DepthGuard::~DepthGuard() { count_ = level_ - 1; }

Depths current_depths() {
  Depths depths;
  for (std::size_t i = 0; i < kDepthKinds; ++i) depths.counts[i] = depth_counts[i];
  return depths;
}

void restore_depths(const Depths& depths) {
  for (std::size_t i = 0; i < kDepthKinds; ++i) depth_counts[i] = depths.counts[i];
}

ScriptBudget::ScriptBudget(std::uint64_t loop_turns, std::uint64_t text_characters)
    : had_budget_(budget_set), previous_turns_(turns_left), previous_characters_(characters_left) {
  budget_set = true;
  turns_left = loop_turns;
  characters_left = text_characters;
}

ScriptBudget::~ScriptBudget() {
  budget_set = had_budget_;
  turns_left = previous_turns_;
  characters_left = previous_characters_;
}

void count_loop_turn(int line) {
  if (!budget_set) return;
  if (turns_left == 0) throw RuntimeError(L"Step budget used up: the script ran too many loop turns", line);
  --turns_left;
}

void count_text(std::size_t characters, int line) {
  if (!budget_set) return;
  if (characters > characters_left) throw RuntimeError(L"Memory budget used up: the script made too much text", line);
  characters_left -= characters;
}

std::size_t stack_left() {
  // Asked once per thread: the main thread's answer comes from reading the process's maps.
  thread_local const char* const low = stack_low_end();
  const auto* here = static_cast<const char*>(__builtin_frame_address(0));
  if (!low) return std::numeric_limits<std::size_t>::max();
  return here > low ? static_cast<std::size_t>(here - low) : 0;
}

}  // namespace paravelle::host::script
