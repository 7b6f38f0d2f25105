#include "diag/host_call_trap.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "diag/faults.h"
#include "host/maxscript_runtime.h"
#include "support/sanitizers.h"

namespace paravelle::diag {
namespace {

using namespace paravelle::diag::testing;

// Overwrites the stack below the caller, where trapped operations had their frames.
PARAVELLE_OPAQUE void scribble_below() {
  volatile char junk[256 * 1024];
  for (volatile char& c : junk) c = 0x5A;
}

// A fault in the middle of a script abandons its scopes, rooted temporaries, value and
// allocation frames and its output stream; none of them may outlive the trap, or the next
// collection reads the dead stack and the next print writes to it.
TEST(HostCallTrap, AFaultInsideAScriptLeavesNothingOfItsFramesToTheScriptRuntime) {
  static Primitive fault_now(L"faultNow", [](const std::vector<Value*>&) -> Value* {
    write_to(address_0x10);
    return &ok;
  });
  globals->set(L"faultNow", &fault_now);
  host::script::collect_garbage();
  const std::size_t baseline = host::script::live_value_count();
  CharStream* const output = thread_local_current_stdout();

  std::string trapText, report;
  std::optional<paravelle::testing::AbandonedByAFault> abandoned(std::in_place);  // the texts the frames held
  run_trapped_host_call("X: ", trapText, report, [] {
    ScopedValueTempArray frame(1);
    frame[0] = new String(L"held by an abandoned frame");
    push_alloc_frame();
    StringStream redirected;
    thread_local_current_stdout() = &redirected;
    host::script::run_text(
        L"(local a = \"x\"; for i = 1 to 3 do (local b = #(i); try (throw \"e\") catch (a + faultNow())))");
  });
  abandoned.reset();
  EXPECT_EQ(trapText, "X: Access Violation");
  scribble_below();
  EXPECT_EQ(thread_local_current_stdout(), output);
  host::script::collect_garbage();
  EXPECT_LE(host::script::live_value_count(), baseline) << "nothing of the abandoned frames stays alive";
  new String(L"made after the trap");
  host::script::collect_garbage();
  EXPECT_LE(host::script::live_value_count(), baseline) << "no abandoned allocation frame keeps new values";
  EXPECT_STREQ(host::script::evaluate_text(L"(local c = 0; for i = 1 to 20000 do c = c + 1; c) as string")->to_string(),
               L"20000");
  EXPECT_STREQ(host::script::evaluate_text(L"getCurrentException()")->to_string(), L"undefined");
  globals->remove(Name::intern(L"faultNow"));
}

}  // namespace
}  // namespace paravelle::diag
