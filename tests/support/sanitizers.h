#pragma once
// The sanitizer a test binary was built with (`make test-asan`, `make test-tsan`), for the
// few tests that cannot run under one: they say why and skip there.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <functional>
#include <string>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PARAVELLE_UNDER_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define PARAVELLE_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define PARAVELLE_UNDER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define PARAVELLE_UNDER_TSAN 1
#endif

namespace paravelle::testing {

#if defined(PARAVELLE_UNDER_ASAN)
inline constexpr const char* active_sanitizer = "AddressSanitizer";
#elif defined(PARAVELLE_UNDER_TSAN)
inline constexpr const char* active_sanitizer = "ThreadSanitizer";
#else
inline constexpr const char* active_sanitizer = nullptr;
#endif

}  // namespace paravelle::testing

// Skips the rest of the test under any sanitizer.
#define PARAVELLE_SKIP_UNDER_SANITIZER(reason)           \
  if (::paravelle::testing::active_sanitizer != nullptr) \
  GTEST_SKIP() << "not under " << ::paravelle::testing::active_sanitizer << ": " << reason

namespace paravelle::testing {
// ThreadSanitizer owns the fault signals the trap needs; under AddressSanitizer the trap
// works as it does without one.
#if defined(PARAVELLE_UNDER_TSAN)
inline constexpr bool machine_faults_trapped = false;
#else
inline constexpr bool machine_faults_trapped = true;
#endif

// How many times longer than without one the work of a test may take under a sanitizer, on
// a machine shared with other builds: waits for a reply stretch by that factor.
#if defined(PARAVELLE_UNDER_TSAN)
inline constexpr int sanitizer_slowdown = 6;
#elif defined(PARAVELLE_UNDER_ASAN)
inline constexpr int sanitizer_slowdown = 3;
#else
inline constexpr int sanitizer_slowdown = 1;
#endif
}  // namespace paravelle::testing

// Skips the rest of a test of trapped machine faults where they are not trapped.
#define PARAVELLE_SKIP_UNLESS_MACHINE_FAULTS_TRAPPED() \
  if (!::paravelle::testing::machine_faults_trapped)   \
  GTEST_SKIP() << "not under ThreadSanitizer: machine faults need the trap's own signal handlers"

#if defined(PARAVELLE_UNDER_ASAN)
#include <sanitizer/lsan_interface.h>
#endif

namespace paravelle::testing {

// A trapped fault abandons the frames between the fault and the trap without running their
// destructors: what they held on the heap is lost, by design. Allocations made while one of
// these lives are not reported as leaks; everything else still is.
class AbandonedByAFault {
 public:
#if defined(PARAVELLE_UNDER_ASAN)
  AbandonedByAFault() { __lsan_disable(); }
  ~AbandonedByAFault() { __lsan_enable(); }
#else
  AbandonedByAFault() = default;
  ~AbandonedByAFault() = default;
#endif
  AbandonedByAFault(const AbandonedByAFault&) = delete;
  AbandonedByAFault& operator=(const AbandonedByAFault&) = delete;
};

}  // namespace paravelle::testing

namespace paravelle::testing {

// How a death test sees a process that a fault signal ended. A sanitizer installs its handler
// for deadly signals before anything else runs, so it takes the faults that nobody else
// takes, as a host's handler would: the process ends with its report and its own exit code
// instead of the signal.
inline std::function<bool(int)> killed_by_fault(int signal) {
  return [signal](int status) {
    if (::testing::KilledBySignal(signal)(status)) return true;
    return active_sanitizer != nullptr && WIFEXITED(status) && WEXITSTATUS(status) != 0;
  };
}

// What such a process leaves on its standard error: nothing in particular, or the sanitizer's
// report naming the fault.
inline std::string fault_report(int signal) {
  if (active_sanitizer == nullptr) return "";
  if (signal == SIGFPE) return "Sanitizer:DEADLYSIGNAL.*: FPE ";
  if (signal == SIGSEGV) return "Sanitizer:DEADLYSIGNAL.*: (SEGV|stack-overflow) ";
  return "Sanitizer:DEADLYSIGNAL";
}

}  // namespace paravelle::testing
