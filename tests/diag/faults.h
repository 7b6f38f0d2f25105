#pragma once
// Deliberate machine faults. Addresses and divisors come through volatile variables and the
// functions stay out of the optimiser's reach, so the faulting instruction really runs.

#ifndef _WIN32
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <climits>
#include <cstdint>

// The undefined-behaviour sanitizer would report the deliberate faults before the
// processor raises them, and the thread sanitizer would report threads faulting on the
// same bad address at once as a race.
#if defined(__clang__)
#define PARAVELLE_OPAQUE [[gnu::noinline, clang::optnone, clang::no_sanitize("undefined", "thread")]]
#else
#define PARAVELLE_OPAQUE [[gnu::noipa, gnu::no_sanitize("undefined", "thread")]]
#endif

namespace paravelle::diag::testing {

inline volatile std::uintptr_t address_0x10 = 0x10;
inline volatile std::uintptr_t address_null = 0;
inline volatile int zero = 0;

PARAVELLE_OPAQUE inline void write_to(std::uintptr_t address) { *reinterpret_cast<volatile int*>(address) = 1; }
PARAVELLE_OPAQUE inline int read_from(std::uintptr_t address) { return *reinterpret_cast<volatile int*>(address); }
PARAVELLE_OPAQUE inline int divide(int a, int b) {
  volatile int divisor = b;
  return a / divisor;
}
PARAVELLE_OPAQUE inline double multiply(double a, double b) {
  volatile double x = a;
  return x * b;
}
PARAVELLE_OPAQUE inline void illegal_instruction() { __builtin_trap(); }
PARAVELLE_OPAQUE inline void jump_to(std::uintptr_t address) { reinterpret_cast<void (*)()>(address)(); }

// Writes to 0x10 `depth` frames down; from INT_MAX, the stack overflows long before.
PARAVELLE_OPAQUE inline int fault_at_depth(int depth) {
  volatile char pad[64];
  pad[0] = static_cast<char>(depth);
  if (depth <= 0) write_to(address_0x10);
  return depth <= 0 ? 0 : fault_at_depth(depth - 1) + pad[0];
}
inline void recurse_forever() { fault_at_depth(INT_MAX); }

#ifndef _WIN32
// Delivers a fault signal to this thread as the kernel would for its own instruction.
inline void send_fault_to_self(int signal, int code, std::uintptr_t address = 0x1234) {
  siginfo_t info{};
  info.si_signo = signal;
  info.si_code = code;
  info.si_addr = reinterpret_cast<void*>(address);
  ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::gettid(), signal, &info);
}
#endif

}  // namespace paravelle::diag::testing
