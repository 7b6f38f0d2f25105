#pragma once
// Deliberate machine faults for the trap tests. Every function is kept out of the
// optimiser's reach (noipa, volatile) so that the faulting instruction really runs, and
// their addresses come in through volatile variables so no call folds into a trap.

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

// Keeps the compiler from inlining or reasoning across a deliberate fault.
#if defined(__clang__)
#define PARAVELLE_OPAQUE [[gnu::noinline, clang::optnone]]
#else
#define PARAVELLE_OPAQUE [[gnu::noipa]]
#endif

namespace paravelle::diag::testing {

inline volatile std::uintptr_t address_0x10 = 0x10;
inline volatile std::uintptr_t address_null = 0;
inline volatile int zero = 0;
inline volatile int never = -1;

PARAVELLE_OPAQUE inline void write_to(std::uintptr_t address) {
  *reinterpret_cast<volatile int*>(address) = 1;
}

PARAVELLE_OPAQUE inline int read_from(std::uintptr_t address) {
  return *reinterpret_cast<volatile int*>(address);
}

PARAVELLE_OPAQUE inline int divide(int a, int b) {
  volatile int divisor = b;
  return a / divisor;
}

PARAVELLE_OPAQUE inline int recurse_forever(int depth) {
  volatile char pad[256];
  pad[0] = static_cast<char>(depth);
  if (depth == never) return 0;
  return recurse_forever(depth + 1) + pad[0];
}

// Faults `depth` frames down, so the fault's stack is deeper than the report shows.
PARAVELLE_OPAQUE inline int fault_at_depth(int depth) {
  volatile char pad[32];
  pad[0] = static_cast<char>(depth);
  if (depth <= 0) {
    write_to(address_0x10);
    return 0;
  }
  return fault_at_depth(depth - 1) + pad[0];
}

PARAVELLE_OPAQUE inline void illegal_instruction() { __builtin_trap(); }

PARAVELLE_OPAQUE inline void jump_to(std::uintptr_t address) {
  reinterpret_cast<void (*)()>(address)();
}

// Delivers a fault signal to the calling thread as the kernel would for a fault of its
// own instruction (a positive si_code, allowed only when sending to oneself).
inline void send_fault_to_self(int signal, int code, std::uintptr_t address = 0x1234) {
  siginfo_t info{};
  info.si_signo = signal;
  info.si_code = code;
  info.si_addr = reinterpret_cast<void*>(address);
  ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::gettid(), signal, &info);
}

}  // namespace paravelle::diag::testing
