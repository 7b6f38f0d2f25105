#include "nesting.h"

#include <pthread.h>

#include <cstdint>
#include <limits>

#include "host/maxscript.h"

namespace host::script {
namespace {

thread_local std::size_t depth_counts[kDepthKinds] = {};

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

std::size_t stack_left() {
  // Asked once per thread: the main thread's answer comes from reading the process's maps.
  thread_local const char* const low = stack_low_end();
  const auto* here = static_cast<const char*>(__builtin_frame_address(0));
  if (!low) return std::numeric_limits<std::size_t>::max();
  return here > low ? static_cast<std::size_t>(here - low) : 0;
}

}  // namespace host::script
