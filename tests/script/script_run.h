#pragma once
// Running scripts the way the node does, and on the daemon's thread while a session is
// inside its receive loop: a posted host event runs the script at the session's next
// idle moment, so the script's farm functions talk to the test's worker.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "daemon/session.h"
#include "host/function_publishing.h"
#include "host/maxscript_runtime.h"
#include "host/platform.h"
#include "transport/messages.h"
#include "worker/farm_worker.h"

namespace paravelle::testing {

constexpr int wait_ms = 10000;

struct ScriptOutcome {
  std::wstring value;     // printed form of the script's value; empty after an error
  std::wstring error;     // a RuntimeError's message, or another script error's printed form
  std::wstring listener;  // what the script printed
};

// Runs a script on the calling thread with its listener output captured.
inline ScriptOutcome run_script(const std::wstring& script) {
  ScriptOutcome outcome;
  init_thread_locals();
  StringStream listener;
  CharStream*& output = thread_local_current_stdout();
  CharStream* const previous = output;
  output = &listener;
  try {
    outcome.value = host::script::printed(host::script::evaluate_text(script));
  } catch (const RuntimeError& error) {
    outcome.error = error.message();
  } catch (const MAXScriptException& error) {
    outcome.error = host::script::printed(error);
  }
  output = previous;
  outcome.listener = listener.text();
  return outcome;
}

// A descriptor as the host read it: per function its id, name, result type and
// parameters; per property its getter and setter ids, name and type.
using Parameters = std::vector<std::pair<std::wstring, int>>;
using FunctionEntry = std::tuple<FunctionID, std::wstring, int, Parameters>;
using PropertyEntry = std::tuple<FunctionID, FunctionID, std::wstring, int>;
inline std::vector<FunctionEntry> functions_of(const FPInterfaceDesc& desc) {
  std::vector<FunctionEntry> entries;
  for (const FPFunctionDef& f : desc.functions) {
    Parameters parameters;
    for (const FPParamDef& p : f.params) parameters.emplace_back(p.internal_name, p.type);
    entries.emplace_back(f.ID, f.internal_name, f.result_type, parameters);
  }
  return entries;
}
inline std::vector<PropertyEntry> properties_of(const FPInterfaceDesc& desc) {
  std::vector<PropertyEntry> entries;
  for (const FPPropDef& p : desc.props) entries.emplace_back(p.getter_ID, p.setter_ID, p.internal_name, p.prop_type);
  return entries;
}

// A daemon session on the library's own job state and connection, on its own thread,
// against a worker driven by the test.
class FarmSession : public ::testing::Test {
 protected:
  // Short idle slices so that a posted script starts at once.
  static constexpr int idle_timeout_ms = 20;

  void SetUp() override {
    set_farm_timeout_ms(idle_timeout_ms);
    std::promise<std::uint32_t> thread_id;
    std::future<std::uint32_t> session_thread_id = thread_id.get_future();
    session_ = std::async(std::launch::async, [this, &thread_id] {
      thread_id.set_value(host::current_thread_id());
      return daemon::RunParavelleDaemon(worker.port(), L"t");
    });
    session_thread = session_thread_id.get();
    worker.open_session(wait_ms, "t");
  }

  void TearDown() override {
    worker.close();
    if (session_.valid()) {
      EXPECT_EQ(session_.wait_for(std::chrono::milliseconds(wait_ms)), std::future_status::ready);
    }
    set_farm_timeout_ms(kDefaultFarmTimeoutMs);
  }

  // Starts `script` inside the session; the farm time-out while it runs is `timeout_ms`.
  std::future<ScriptOutcome> start(std::wstring script, int timeout_ms = wait_ms) {
    auto promise = std::make_shared<std::promise<ScriptOutcome>>();
    std::future<ScriptOutcome> outcome = promise->get_future();
    host::post_message_to(session_thread, [promise, script = std::move(script), timeout_ms] {
      set_farm_timeout_ms(timeout_ms);
      ScriptOutcome outcome = run_script(script);
      set_farm_timeout_ms(idle_timeout_ms);
      promise->set_value(std::move(outcome));
    });
    return outcome;
  }

  static ScriptOutcome finish(std::future<ScriptOutcome>& outcome) {
    if (outcome.wait_for(std::chrono::milliseconds(wait_ms)) == std::future_status::ready) return outcome.get();
    ADD_FAILURE() << "the script did not finish";
    return {};
  }

  // One request of a script answered with `answer`; returns the request and the outcome.
  std::pair<std::string, ScriptOutcome> ask(const std::wstring& script, const std::string& answer) {
    auto outcome = start(script);
    std::string request = worker.receive_raw(wait_ms);
    worker.send_raw(answer);
    return {std::move(request), finish(outcome)};
  }

  bool session_result() { return session_.get(); }

  worker::FarmWorker worker;

 private:
  std::future<bool> session_;
  std::uint32_t session_thread = 0;  // host events for the session go to its queue
};

}  // namespace paravelle::testing
