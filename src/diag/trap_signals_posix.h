#pragma once
// How a POSIX fault signal becomes one of the trap's exception codes. Kept apart from the
// handler so the table can be read (and tested) on its own.

#include <cstdint>

namespace paravelle::diag::posix {

// The exception code of a fault signal with its si_code, or 0 when the trap does not handle
// it (the float underflow code, SIGFPE codes outside the table, other signals). SIGSEGV
// always gives the access violation; whether it is a stack overflow is decided apart.
std::uint32_t code_for_signal(int signal, int si_code);

// The calling thread's stack as the trap recorded it when the thread armed its first trap.
struct StackBounds {
  std::uintptr_t low = 0;    // lowest usable address (the guard area lies below)
  std::uintptr_t high = 0;   // one past the highest address
  std::uintptr_t guard = 0;  // size of the guard area below low
};

// True when an access violation at fault_address, with the stack pointer at sp, is the
// stack running out: the address lies in the guard area or the last pages above it, or
// within the stack below the stack pointer, or the stack pointer itself is at the limit.
bool is_stack_overflow(std::uintptr_t fault_address, std::uintptr_t sp, const StackBounds& stack);

}  // namespace paravelle::diag::posix
