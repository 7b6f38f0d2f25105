// The trap on POSIX: fault signals caught on an alternate stack, and a jump back to the
// innermost trap that the faulting thread armed.

#include <cxxabi.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cfenv>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>

#include "diag/crash_report.h"
#include "diag/crash_report_posix.h"
#include "diag/exception_handling.h"
#include "diag/exception_names.h"
#include "diag/trap.h"
#include "diag/trap_signals_posix.h"

namespace paravelle::diag {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

struct TrapFrame {
  sigjmp_buf env;
  TrapFrame* outer;
  // The kernel hands a signal handler a reset floating-point unit, and a jump out of the
  // handler keeps that state; the host's rounding mode, flush-to-zero and exception masks
  // must come back with the trap.
  fenv_t fp_environment;
};

// Everything the handler touches for one thread, allocated before the thread's first trap
// is armed, so that the handler itself never allocates.
struct ThreadState {
  TrapFrame* volatile top = nullptr;  // innermost armed trap; null when none is armed
  std::uint32_t trapped_code = 0;
  std::size_t report_length = 0;
  posix::StackBounds stack;
  char* alt_stack_mapping = nullptr;  // our signal stack with its guard page, if we made one
  std::size_t alt_stack_mapping_size = 0;
  bool replaced_alt_stack = false;  // we put ours in place of a smaller one of the host
  stack_t host_alt_stack{};
  char report[kCrashReportCapacity];
  posix::PosixCrashProbe::Scratch probe_memory;
};

// The handler finds its thread's state through this pointer. The initial-exec model keeps
// the access a plain thread-pointer offset even in the loaded plug-in library; the general
// model could call __tls_get_addr, which may allocate, inside the handler.
constinit thread_local ThreadState* t_state __attribute__((tls_model("initial-exec"))) = nullptr;

struct sigaction g_previous[4];
std::once_flag g_install_once;
std::atomic<bool> g_installed{false};
pthread_key_t g_state_key;
bool g_state_key_ready = false;
std::atomic<long> g_utc_offset{0};

int slot_of(int signal) {
  for (int i = 0; i < 4; ++i) {
    if (kFaultSignals[i] == signal) return i;
  }
  return 0;
}

std::size_t page_size() {
  const long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

std::size_t alt_stack_size() {
  // Room for the report code (its buffers live in ThreadState) and for a host handler
  // that we chain to and that expected a stack of its own.
  std::size_t size = 64 * 1024;
#ifdef _SC_SIGSTKSZ
  const long wanted = ::sysconf(_SC_SIGSTKSZ);
  if (wanted > 0 && static_cast<std::size_t>(wanted) * 4 > size) size = static_cast<std::size_t>(wanted) * 4;
#endif
  const std::size_t page = page_size();
  return (size + page - 1) / page * page;
}

// A signal stack of at least this size, already set by the host, is good enough for us.
constexpr std::size_t kEnoughAltStack = 32 * 1024;

bool ensure_alt_stack(ThreadState& state) {
  stack_t current{};
  if (::sigaltstack(nullptr, &current) != 0) return false;
  if ((current.ss_flags & SS_ONSTACK) != 0) return true;  // cannot change it from on it
  if ((current.ss_flags & SS_DISABLE) == 0 && current.ss_size >= kEnoughAltStack) return true;
  const std::size_t page = page_size();
  if (state.alt_stack_mapping == nullptr) {
    const std::size_t size = alt_stack_size() + page;
    void* mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return false;
    // A guard page, so that a handler overrunning the signal stack dies rather than
    // writing over whatever lies below it.
    ::mprotect(mapping, page, PROT_NONE);
    state.alt_stack_mapping = static_cast<char*>(mapping);
    state.alt_stack_mapping_size = size;
  }
  if ((current.ss_flags & SS_DISABLE) == 0) {
    state.replaced_alt_stack = true;
    state.host_alt_stack = current;
  }
  stack_t ours{};
  ours.ss_sp = state.alt_stack_mapping + page;
  ours.ss_size = state.alt_stack_mapping_size - page;
  ours.ss_flags = 0;
  return ::sigaltstack(&ours, nullptr) == 0;
}

void destroy_thread_state(void* pointer) {
  auto* state = static_cast<ThreadState*>(pointer);
  if (t_state == state) t_state = nullptr;
  bool release_mapping = state->alt_stack_mapping != nullptr;
  if (release_mapping) {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == state->alt_stack_mapping + page_size()) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      const stack_t& next = state->replaced_alt_stack ? state->host_alt_stack : off;
      release_mapping = ::sigaltstack(&next, nullptr) == 0;
    }
    if (release_mapping) ::munmap(state->alt_stack_mapping, state->alt_stack_mapping_size);
  }
  delete state;
}

ThreadState& state_of_this_thread() {
  if (t_state != nullptr) return *t_state;
  auto* state = new ThreadState;
  pthread_attr_t attributes;
  if (::pthread_getattr_np(::pthread_self(), &attributes) == 0) {
    void* address = nullptr;
    std::size_t size = 0;
    std::size_t guard = 0;
    if (::pthread_attr_getstack(&attributes, &address, &size) == 0) {
      state->stack.low = reinterpret_cast<std::uintptr_t>(address);
      state->stack.high = state->stack.low + size;
    }
    if (::pthread_attr_getguardsize(&attributes, &guard) == 0) state->stack.guard = guard;
    ::pthread_attr_destroy(&attributes);
  }
  if (!ensure_alt_stack(*state)) {
    if (state->alt_stack_mapping != nullptr) {
      ::munmap(state->alt_stack_mapping, state->alt_stack_mapping_size);
    }
    delete state;
    throw std::bad_alloc();
  }
  if (g_state_key_ready) ::pthread_setspecific(g_state_key, state);
  t_state = state;
  return *state;
}

struct MachineState {
  std::uintptr_t pc = 0;
  std::uintptr_t fp = 0;
  std::uintptr_t sp = 0;
  bool write = false;
};

MachineState machine_state_of(void* context, const siginfo_t* info) {
  MachineState m;
  const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  m.pc = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
  m.fp = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RBP]);
  m.sp = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
  // Bit 1 of the page-fault error code: the access was a write.
  m.write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#elif defined(__aarch64__)
  m.pc = uc->uc_mcontext.pc;
  m.fp = uc->uc_mcontext.regs[29];
  m.sp = uc->uc_mcontext.sp;
  // The kernel leaves the fault's syndrome in an ESR record; WnR (bit 6) marks a write.
  struct RecordHead {
    std::uint32_t magic;
    std::uint32_t size;
  };
  constexpr std::uint32_t kEsrMagic = 0x45535201;
  const auto* area = reinterpret_cast<const unsigned char*>(uc->uc_mcontext.__reserved);
  for (std::size_t offset = 0; offset + 16 <= sizeof uc->uc_mcontext.__reserved;) {
    const auto* head = reinterpret_cast<const RecordHead*>(area + offset);
    if (head->magic == 0 || head->size == 0) break;
    if (head->magic == kEsrMagic) {
      const auto* esr = reinterpret_cast<const std::uint64_t*>(area + offset + sizeof(RecordHead));
      m.write = ((*esr >> 6) & 1) != 0;
      break;
    }
    offset += head->size;
  }
#else
  // Without a known context layout the report starts at the fault and has no stack.
  (void)uc;
  m.pc = reinterpret_cast<std::uintptr_t>(info->si_addr);
#endif
  (void)info;
  return m;
}

// What would have happened without us: the host's handler, or the default action.
void pass_on(int signal, siginfo_t* info, void* context) {
  struct sigaction previous = g_previous[slot_of(signal)];
  if ((previous.sa_flags & SA_RESETHAND) != 0) {
    g_previous[slot_of(signal)].sa_handler = SIG_DFL;
    g_previous[slot_of(signal)].sa_flags &= ~SA_SIGINFO;
  }
  const bool sent = info == nullptr || info->si_code <= 0;
  const bool has_handler = (previous.sa_flags & SA_SIGINFO) != 0
                               ? previous.sa_sigaction != nullptr
                               : previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN;
  if (has_handler) {
    sigset_t saved;
    ::pthread_sigmask(SIG_BLOCK, &previous.sa_mask, &saved);
    if ((previous.sa_flags & SA_SIGINFO) != 0) {
      previous.sa_sigaction(signal, info, context);
    } else {
      previous.sa_handler(signal);
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return;
  }
  // An ignored signal stays ignored when someone sent it; a fault of the processor cannot
  // be ignored (the kernel kills the process for it), so it gets the default action.
  if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN && sent) return;
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  ::sigaction(signal, &default_action, nullptr);
  // Blocked while we are in here: it is delivered, with its default action, on our return.
  ::raise(signal);
}

void on_fault(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  ThreadState* const state = t_state;
  // Only faults raised by the processor for this thread's own instructions are trapped
  // (si_code > 0); a fault signal sent by kill() or raise() means what its sender meant.
  if (state != nullptr && state->top != nullptr && info != nullptr && info->si_code > 0) {
    std::uint32_t code = posix::code_for_signal(signal, info->si_code);
    const MachineState m = machine_state_of(context, info);
    const auto fault_address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (code == seh_code::kAccessViolation && posix::is_stack_overflow(fault_address, m.sp, state->stack)) {
      code = seh_code::kStackOverflow;
    }
    if (code != 0) {
      FaultRecord fault;
      fault.code = code;
      fault.address = m.pc;
      fault.frame_pointer = m.fp;
      fault.write = m.write;
      fault.access_address = fault_address;
      posix::PosixCrashProbe probe(state->probe_memory, g_utc_offset.load(std::memory_order_relaxed));
      state->report_length = write_crash_report(fault, probe, state->report, sizeof state->report);
      state->trapped_code = code;
      // Restores the signal mask of the trap's sigsetjmp, and leaves the signal stack.
      ::siglongjmp(state->top->env, 1);
    }
  }
  pass_on(signal, info, context);
  errno = saved_errno;
}

// Puts the host's handlers back when the plug-in is unloaded, so that no fault jumps into
// code that is gone, and no thread exit calls our key's destructor after that.
struct HandlerRestorer {
  ~HandlerRestorer() {
    if (!g_installed.load()) return;
    for (int i = 0; i < 4; ++i) {
      struct sigaction current {};
      if (::sigaction(kFaultSignals[i], nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) != 0 &&
          current.sa_sigaction == &on_fault) {
        ::sigaction(kFaultSignals[i], &g_previous[i], nullptr);
      }
    }
    if (g_state_key_ready) ::pthread_key_delete(g_state_key);
  }
} g_restorer;

void describe_cpp_exception(ThreadState& state, std::string& crash_report) {
  // All that is known at this point is the code: the throw's frames are gone. The report
  // therefore names no module and no stack.
  FaultRecord fault;
  fault.code = seh_code::kCppException;
  posix::PosixCrashProbe probe(state.probe_memory, g_utc_offset.load(std::memory_order_relaxed));
  const std::size_t length = write_crash_report(fault, probe, state.report, sizeof state.report);
  try {
    crash_report.assign(state.report, length);
  } catch (...) {
    // The exception on its way out matters more than its report.
  }
}

}  // namespace

void install_fault_trap() {
  std::call_once(g_install_once, [] {
    posix::prepare_memory_reader();
    g_utc_offset.store(posix::current_utc_offset());
    g_state_key_ready = ::pthread_key_create(&g_state_key, &destroy_thread_state) == 0;
    struct sigaction ours {};
    ours.sa_sigaction = &on_fault;
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&ours.sa_mask);
    for (int signal : kFaultSignals) sigaddset(&ours.sa_mask, signal);
    for (int i = 0; i < 4; ++i) {
      // Read the host's action first, so a fault between the two calls still finds it.
      ::sigaction(kFaultSignals[i], nullptr, &g_previous[i]);
      ::sigaction(kFaultSignals[i], &ours, nullptr);
    }
    g_installed.store(true);
  });
}

namespace detail {

std::uint32_t run_guarded(GuardedBody body, void* context, std::string& crash_report) {
  install_fault_trap();
  ThreadState* const state = &state_of_this_thread();
  if (state->top == nullptr) {
    // Outermost trap: make sure nobody took our signal stack away since the last one,
    // and take the time zone's current offset for the report's file dates.
    ensure_alt_stack(*state);
    g_utc_offset.store(posix::current_utc_offset(), std::memory_order_relaxed);
  }

  TrapFrame frame;
  frame.outer = state->top;
  std::fegetenv(&frame.fp_environment);
  const ExceptionHandlingMark handling = mark_exception_handling();
  if (::sigsetjmp(frame.env, 1) != 0) {
    state->top = frame.outer;
    std::fesetenv(&frame.fp_environment);
    end_abandoned_exception_handling(handling);
    crash_report.assign(state->report, state->report_length);
    return state->trapped_code;
  }
  state->top = &frame;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  try {
    body(context);
  } catch (abi::__forced_unwind&) {
    state->top = frame.outer;  // thread cancellation: not an exception of the operation
    throw;
  } catch (...) {
    state->top = frame.outer;
    describe_cpp_exception(*state, crash_report);
    throw;
  }
  state->top = frame.outer;
  return 0;
}

}  // namespace detail
}  // namespace paravelle::diag
