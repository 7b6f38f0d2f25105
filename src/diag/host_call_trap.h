#pragma once
// The machine-fault trap for calls into the host. A trapped fault abandons the frames
// between the fault and the trap without running their destructors; among them may be a
// script evaluation, whose scopes, rooted values, value frames and allocation frames are
// registered with the host's script runtime. Left there, they would point into a dead
// stack, and the next collection would read it. These wrappers mark the runtime before
// the call and unwind it to the mark after a fault; otherwise they are run_trapped.
//
// (The trap itself stays free of the script runtime, so that it builds and is tested
// where no runtime is.)

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "diag/trap.h"
#include "host/maxscript_runtime.h"

namespace paravelle::diag {

template <class Operation, class Preset>
requires(!std::is_void_v<std::invoke_result_t<Operation&>>) std::invoke_result_t<Operation&> run_trapped_host_call(
    std::string_view prefix, std::string& trapText, std::string& crash_report, Preset&& trapped_result,
    Operation&& operation) {
  const host::script::ThreadRuntimeMark runtime = host::script::mark_thread_runtime();
  auto result = run_trapped(prefix, trapText, crash_report, std::forward<Preset>(trapped_result),
                            std::forward<Operation>(operation));
  if (!trapText.empty()) host::script::unwind_thread_runtime(runtime);
  return result;
}

template <class Operation>
requires std::is_void_v<std::invoke_result_t<Operation&>>
void run_trapped_host_call(std::string_view prefix, std::string& trapText, std::string& crash_report,
                           Operation&& operation) {
  const host::script::ThreadRuntimeMark runtime = host::script::mark_thread_runtime();
  run_trapped(prefix, trapText, crash_report, std::forward<Operation>(operation));
  if (!trapText.empty()) host::script::unwind_thread_runtime(runtime);
}

}  // namespace paravelle::diag
