#include "host/standalone/fault_injection.h"

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>

#include "host/exceptions.h"

namespace paravelle::host::standalone {
namespace {

// Every fault goes through volatile objects the optimiser cannot see through: a
// constant null dereference would otherwise be turned into a trap instruction
// (SIGILL) or removed altogether. The undefined-behaviour sanitizer is kept out of them
// too: it would end the process itself before the processor raises the fault, and the
// trap under test would never see it.
#if defined(__clang__)
#define PARAVELLE_DELIBERATE_FAULT [[gnu::noinline, clang::no_sanitize("undefined")]]
#else
#define PARAVELLE_DELIBERATE_FAULT [[gnu::noinline, gnu::no_sanitize("undefined")]]
#endif

PARAVELLE_DELIBERATE_FAULT void write_to_low_address() {
  int* volatile address = reinterpret_cast<int*>(std::uintptr_t{0x10});
  *static_cast<volatile int*>(address) = 1;
}

PARAVELLE_DELIBERATE_FAULT int read_null() {
  int* volatile address = nullptr;
  return *static_cast<volatile int*>(address);
}

PARAVELLE_DELIBERATE_FAULT int divide_by_zero() {
  volatile int numerator = 1;
  volatile int denominator = 0;
  // Stored through a volatile, or the unused quotient is dropped with its division.
  volatile int quotient = numerator / denominator;
  return quotient;
}

// Each frame keeps a buffer alive across the call, so the recursion can be neither
// turned into a loop nor bounded by the compiler; it ends in a stack overflow.
PARAVELLE_DELIBERATE_FAULT int recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  volatile int next = depth + 1;
  if (next < 0) return frame[0];
  return recurse(next) + frame[0];
}

// A render that never finishes and never reports, as a renderer stuck in a deadlock does. Only
// the process's end (the farm kills it) stops it.
[[noreturn]] void hang_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

void raise_fault(FaultSpec::Kind kind) {
  switch (kind) {
    case FaultSpec::Kind::write: write_to_low_address(); break;
    case FaultSpec::Kind::read_null: (void)read_null(); break;
    case FaultSpec::Kind::divide_by_zero: (void)divide_by_zero(); break;
    case FaultSpec::Kind::recursion: (void)recurse(0); break;
    case FaultSpec::Kind::fail: break;
    case FaultSpec::Kind::hang: hang_forever();
    case FaultSpec::Kind::std_exception:
      throw std::runtime_error("the scene's fault injection throws a standard exception");
    case FaultSpec::Kind::max_exception: throw MAXException(L"the scene's fault injection throws a MAXException", 1);
    // Neither a standard nor a host exception: what a host written in another way may throw.
    case FaultSpec::Kind::unknown_exception: throw 7;
  }
}

}  // namespace paravelle::host::standalone
