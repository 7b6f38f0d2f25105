// A daemon session and its job commands as the farm sees them: the handshake, the replies in
// order, the pauses after errors, the failures that end a session and what the worker hears
// of them, and the node serving on after every failure it survives.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>

#include "daemon/session.h"
#include "dispatcher_fixture.h"
#include "host/platform.h"
#include "job/farm_connection.h"
#include "host/standalone/bitmaps.h"
#include "host/standalone/standalone_interface.h"
#include "support/job_scenes.h"
#include "support/sanitizers.h"
#include "worker/farm_worker.h"
#include "host/maxscript.h"
#include "support/log_capture.h"
#include "transport/messages.h"

namespace paravelle::daemon {
namespace {

using job::JobState;

using ::testing::ElementsAre;
using ::testing::StartsWith;

// The host at its start-up state, and the pauses after error replies recorded instead of slept.
class HostReset {
 public:
  HostReset() {
    host::standalone::standalone_interface().reset();
    host::set_sleep_function([this](std::uint32_t ms) { pauses.push_back(ms); });
  }
  ~HostReset() {
    host::set_sleep_function({});
    host::standalone::standalone_interface().reset();
  }
  std::vector<std::uint32_t> pauses;
};

class JobCommands : public DispatcherTest {
 protected:
  // The scene file as the farm sends it: forward slashes.
  std::wstring scene(const nlohmann::json& content, const std::string& name = "scene.json") {
    return testing::wide(testing::write_scene(folder.path(), name, content));
  }
  HostReset host;
  testing::TempFolder folder;
};

// Faults in host calls that no inner trap covers reach the job command's own trap: the
// error reply carries the trap's text and the crash report, and the session goes on.
TEST_F(JobCommands, AMachineFaultInAJobStepIsReportedWithItsCrashReport) {
  PARAVELLE_SKIP_UNLESS_MACHINE_FAULTS_TRAPPED();
  nlohmann::json faulty = testing::small_job_scene();
  faulty["faults"] = {{{"when", "viewport"}, {"kind", "write"}}};
  Replies replies = dispatch(L"StartJob," + scene(faulty) + L",");
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_THAT(replies[0], StartsWith("ERROR: Trapped SEH Exception in StartJob(): Access Violation\nProcess:  "));
  EXPECT_EQ(replies[0].substr(replies[0].find('\n') + 1), state.lastCrashReport);
  EXPECT_EQ(replies[1], "SUCCESS Scene loaded successfully");
  EXPECT_FALSE(state.jobRunning);

  faulty["faults"] = {{{"when", "flush"}, {"kind", "divide_by_zero"}}};
  EXPECT_THAT(dispatch(L"StartJob," + scene(faulty, "flush.json") + L",Cam"),
              ElementsAre("SUCCESS Scene loaded successfully"));
  replies = dispatch(L"EndJob");
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_THAT(replies[0], StartsWith("ERROR: Trapped SEH Exception in EndJob(): Integer Divide By Zero\nProcess:  "));
  EXPECT_EQ(replies[1], "SUCCESS");
  EXPECT_TRUE(state.jobRunning) << "the job did not end: EndJob may be tried again";
}

using ::testing::HasSubstr;

constexpr int wait_ms = 5000 * testing::sanitizer_slowdown;

class DaemonSession : public ::testing::Test {
 protected:
  void start(const std::wstring& token = L"token-1") {
    std::promise<std::uint32_t> thread_id;
    result = std::async(std::launch::async, [this, token, &thread_id] {
      thread_id.set_value(host::current_thread_id());
      return RunParavelleDaemon(state, connection, worker.port(), token);
    });
    session_thread = thread_id.get_future().get();
    worker.accept(wait_ms);
  }
  void TearDown() override {
    set_farm_timeout_ms(kDefaultFarmTimeoutMs);
    worker.close();
    if (result.valid()) result.wait();
  }
  void open() {
    start();
    EXPECT_EQ(worker.receive_raw(wait_ms), "token-1");
    worker.handshake(wait_ms);
  }

  testing::LogCapture log;
  JobState state;
  win32::simple_socket connection;
  worker::FarmWorker worker;
  std::future<bool> result;
  std::uint32_t session_thread = 0;  // host events for the session go to its queue
};

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// A frame that crashes the renderer costs the farm that task only: a thousand of them in
// a row through a real session, then a good frame; nothing of the crashed frames stays behind.
TEST(JobSession, TheNodeKeepsServingAfterAThousandCrashedFrames) {
  PARAVELLE_SKIP_UNLESS_MACHINE_FAULTS_TRAPPED();
  HostReset host;
  testing::LogCapture log;
  testing::TempFolder folder;
  JobState state;
  win32::simple_socket connection;
  worker::FarmWorker farm;
  auto session =
      std::async(std::launch::async, [&] { return RunParavelleDaemon(state, connection, farm.port(), L"t"); });
  farm.open_session(10000, "t");
  const auto job = [&](const std::string& command) { return farm.job_command(command, 10000).replies(); };
  nlohmann::json crashing = testing::small_job_scene();
  crashing["faults"] = {{{"when", "render"}, {"frame", 7}, {"kind", "write"}}};
  ASSERT_EQ(job("StartJob," + testing::write_scene(folder.path(), "shot.json", crashing) + ",Cam"),
            Replies{"SUCCESS Scene loaded successfully"});
  const auto crash = [&] {
    const Replies replies = job("RenderTask,7");
    return replies.size() == 3 && replies[0] == "STARTED" &&
           replies[1].starts_with("ERROR: Trapped SEH Exception in CurRendererRenderFrame(): Access Violation\n"
                                  "Process:  ") &&
           replies[2] == "ERROR: Failed to save file.";
  };
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(crash());  // the allocator settles
  const std::int64_t bitmaps = host::standalone::live_bitmap_count();
  const std::size_t memory = resident_bytes();
  int crashed = 0;
  for (int i = 0; i < 1000; ++i) crashed += crash() ? 1 : 0;
  EXPECT_EQ(crashed, 1000);
  EXPECT_EQ(host::standalone::live_bitmap_count(), bitmaps);
  if (testing::active_sanitizer == nullptr) {  // a sanitizer's memory, its quarantine among it, is not ours
    EXPECT_LT(resident_bytes(), memory + 4 * 1024 * 1024) << "grew from " << memory;
  }
  EXPECT_EQ(job("RenderTask,1"), (Replies{"STARTED", "SUCCESS"}));
  EXPECT_EQ(host.pauses, std::vector<std::uint32_t>(1050, 500));
  farm.close();
  EXPECT_TRUE(session.get());
}

// A command that cannot be read, or a failure that leaves a command, ends the session with
// false and a report the worker still hears; the daemon never closes the connection itself.
TEST_F(DaemonSession, FailuresThatEndTheSessionAreReportedToTheWorker) {
  testing::TempFolder folder;
  const std::string fifo = folder.path() + "/fifo.ms";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string caught = "ERROR: Exception caught in 3ds max: ";
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"RenderTask,\xFF", {caught + "Invalid UTF-8"}},
      {"TempFolder,C:\\farm", {caught + "unknown escape sequence"}},
      {"ExecuteMaxScriptFile,/no/pre.ms,false,0,false",
       {"STARTED", caught + "mxs::file_in() - Tried to execute a maxscript file which doesn't exist: \"/no/pre.ms\""}},
      // Only regular files run: a FIFO would be waited on for ever.
      {"ExecuteMaxScriptFile," + fifo + ",false,0,false",
       {"STARTED",
        caught + "mxs::file_in() - Tried to execute a maxscript file which is not a regular file: \"" + fifo + "\""}},
      // A result without a text fails while the reply is built.
      {"ExecuteStringScript,0,\"#(1, 2)\"",
       {"STARTED", "ERROR: Maxscript exception:-- Runtime error: Unable to convert: #(1, 2) to type: String"}},
  };
  for (const auto& [command, replies] : cases) {
    state = JobState();
    win32::simple_socket fresh;
    result = std::async(std::launch::async, [&] { return RunParavelleDaemon(state, fresh, worker.port(), L"t"); });
    worker.open_session(wait_ms, "t");
    worker.send_raw(command);
    for (const std::string& reply : replies) EXPECT_EQ(worker.receive_raw(wait_ms), reply);
    EXPECT_FALSE(result.get());
    EXPECT_TRUE(fresh.is_connected());
    worker.close();
  }
  EXPECT_TRUE(log.contains_line("Exception: Invalid UTF-8"));
}

// A reply or an error report longer than one frame reaches the worker cut at a character
// boundary, saying so, and whole in the log; the session goes on (an error report still
// ends it, as a failing script does, but the worker hears it).
TEST_F(DaemonSession, TextsTooLongForAFrameArriveCutAndTheSessionGoesOn) {
  const auto cut = [](const std::string& whole) {
    const std::string note = "... [cut: the message has " + std::to_string(whole.size()) + " bytes]";
    std::size_t kept = 99996 - note.size();
    while ((static_cast<unsigned char>(whole[kept]) & 0xC0) == 0x80) --kept;
    return whole.substr(0, kept) + note;
  };
  // 65536 times e-acute, two bytes each: the cut has to fall between two of them.
  std::string accents;
  for (int i = 0; i < 65536; ++i) accents += "\xC3\xA9";
  const std::string make = "ExecuteStringScript,0,s = \\\"\xC3\xA9\\\"; for i = 1 to 16 do s = s + s; ";
  open();

  const std::string word(100000, 'w');  // a legal command, whose echo is not
  worker.send_raw(word);
  EXPECT_EQ(worker.receive_raw(wait_ms), cut("ERROR: Unexpected command \"" + word + "\" received."));
  worker.send_raw(make + "s");
  EXPECT_EQ(worker.receive_raw(wait_ms), "STARTED");
  EXPECT_EQ(worker.receive_raw(wait_ms), cut("SUCCESS: " + accents));
  worker.send_raw(make + "throw s");
  EXPECT_EQ(worker.receive_raw(wait_ms), "STARTED");
  EXPECT_EQ(worker.receive_raw(wait_ms), cut("ERROR: Exception caught in 3ds max: -- Runtime error: " + accents));
  EXPECT_FALSE(result.get());

  const std::string latin(65536, '\xE9');  // the log is narrow text
  EXPECT_TRUE(log.contains_line("ERROR: Unexpected command \"" + word + "\" received."));
  EXPECT_TRUE(log.contains_line("SUCCESS: " + latin));
  EXPECT_TRUE(log.contains_line("ERROR: Exception caught in 3ds max: -- Runtime error: " + latin));
  EXPECT_TRUE(log.contains_line("Message to the farm cut to 99996 of its 131081 bytes; the whole message:"));
}

TEST_F(DaemonSession, ASecondDaemonIsRefusedWithoutDisturbingTheFirst) {
  open();
  StringStream listener;
  capture_listener(&listener);
  EXPECT_FALSE(RunParavelleDaemon(5000, L"other"));
  capture_listener(nullptr);
  EXPECT_EQ(listener.text(), L"RunParavelleDaemon() was executed while the daemon is already running.");
  EXPECT_TRUE(log.contains_line("RunParavelleDaemon() was executed while the daemon is already running."));
  EXPECT_EQ(worker.command("CurrentTask,x", wait_ms).final_reply(),
            "ERROR: CurrentTask: Parameter 1 , \"x\", is not a valid task number.");
  worker.close();
  EXPECT_TRUE(result.get());
}

// A port outside 1-65535 is refused before anything connects: taken modulo 65536 it would
// reach whatever listens there (here, a worker that would answer).
TEST(DaemonConnect, APortOutsideTheRangeIsRefused) {
  testing::LogCapture log;
  set_farm_timeout_ms(30);  // were the port taken, the handshake would not wait long
  worker::FarmWorker listening;
  for (const int port : {0, -1, 65536, static_cast<int>(listening.port()) + 65536}) {
    JobState state;
    win32::simple_socket connection;
    EXPECT_FALSE(RunParavelleDaemon(state, connection, port, L"t"));
    EXPECT_TRUE(log.contains_line("Exception: RunParavelleDaemon: the port number " + std::to_string(port) +
                                  " does not lie between 1 and 65535"))
        << port;
    EXPECT_FALSE(connection.is_connected());
  }
  EXPECT_FALSE(job::daemonRunning);
  set_farm_timeout_ms(kDefaultFarmTimeoutMs);
}

[[gnu::noinline]] void write_to_low_address() {
  int* volatile target = reinterpret_cast<int*>(static_cast<std::uintptr_t>(0x10));
  *target = 1;
}

// Host work that runs during the session's queue drains can fault; the session is then
// abandoned with a report instead of taking the host down.
TEST_F(DaemonSession, AMachineFaultInsideTheSessionIsReportedWithACrashReport) {
  set_farm_timeout_ms(30);
  open();
  host::post_message_to(session_thread, write_to_low_address);
  const std::string reply = worker.receive_raw(wait_ms);
  EXPECT_THAT(reply, ::testing::StartsWith("ERROR: SEH exception: SEH Exception trapped in 3ds max: Access Violation\n"
                                           "Process:  "));
  EXPECT_THAT(reply, HasSubstr("Exception Code:  C0000005"));
  EXPECT_THAT(reply, HasSubstr("Write Address:  00000010"));
  EXPECT_FALSE(result.get());
  EXPECT_TRUE(log.contains_line("SEH exception caught"));
  EXPECT_FALSE(log.contains_line("Returning TRUE"));
  EXPECT_FALSE(job::daemonRunning);
}

}  // namespace
}  // namespace paravelle::daemon
