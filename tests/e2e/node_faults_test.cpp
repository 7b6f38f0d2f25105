// The node against a worker that misbehaves or vanishes, and a machine that runs out of
// room: the real binary over loopback. For each fault, what the worker sees, what the log
// holds, how the node ends, and that nothing already written is damaged.

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "support/log_capture.h"
#include "support/node_binary.h"
#include "worker/farm_worker.h"

namespace paravelle {
namespace {

using ::testing::HasSubstr;

constexpr int wait_ms = 10000;

using testing::read_file;

struct NodeSession {
  testing::TempFolder tmp;
  worker::FarmWorker farm;
  worker::NodeProcess node{testing::node_binary_path(), farm.port(), "t", {}, {{"TMP", tmp.path()}}};

  NodeSession() { farm.open_session(wait_ms, "t"); }
  std::string log() const { return read_file(tmp.path() + "/paravelle.log"); }
};

// Each fault, then what the worker must see next (nothing, when empty), the log line it
// leaves and the node's exit status.
struct TransportFault {
  const char* name;
  std::function<void(worker::FarmWorker&)> fault;
  std::string next_message;
  std::string log_line;
  int exit_status;
};

TEST(NodeFaults, FramesTheNodeCannotTakeAndAWorkerThatVanishesBetweenThem) {
  const TransportFault faults[] = {
      // An empty frame is an empty command: refused, and the session goes on.
      {"zero-length frame", [](worker::FarmWorker& farm) { farm.send_raw(""); },
       "ERROR: Unexpected command \"\" received.", "\nGot command: \n", 0},
      // A frame over the limit leaves the stream unreadable: the session ends, saying why.
      {"oversized frame", [](worker::FarmWorker& farm) { farm.send_header_only(100001); },
       "ERROR: Exception caught in 3ds max: simple_socket::receive: Invalid packet size (given 100001)",
       "\nException: simple_socket::receive: Invalid packet size (given 100001)\n", 1},
      // The worker goes away in the middle of a frame: the session ends as if it had closed.
      {"worker gone inside a frame",
       [](worker::FarmWorker& farm) {
         farm.send_header_only(10);
         farm.close();
       },
       "", "Returning TRUE\n", 0},
  };
  for (const TransportFault& f : faults) {
    SCOPED_TRACE(f.name);
    NodeSession session;
    f.fault(session.farm);
    if (!f.next_message.empty()) {
      EXPECT_EQ(session.farm.receive_raw(wait_ms), f.next_message);
    }
    if (f.exit_status == 0 && session.farm.connected()) {
      // Still serving: a command after the fault is answered as always.
      EXPECT_EQ(session.farm.command("Bogus", wait_ms).final_reply(), "ERROR: Unexpected command \"Bogus\" received.");
      session.farm.close();
    }
    EXPECT_EQ(session.node.wait(wait_ms), f.exit_status) << session.node.stderr_text();
    EXPECT_THAT(session.log(), HasSubstr(f.log_line));
  }
}

TEST(NodeFaults, AWorkerThatVanishesInTheMiddleOfACommandOrARequestEndsTheSessionCleanly) {
  const struct {
    const char* name;
    const char* command;
    const char* last_seen;  // the last message the worker reads before it goes
  } cases[] = {
      {"mid-command", "ExecuteStringScript,0,\"for i = 1 to 20000 do TaskmereUtil.LogMessage \\\"tick\\\"; 1\"",
       "FUNCTION: STDOUT: tick"},
      {"mid-request", "ExecuteStringScript,0,\"TaskmereUtil.GetJobInfoEntry \\\"Name\\\"\"",
       "FUNCTION: GETJOBINFOENTRY Name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NodeSession session;
    session.farm.send_raw(c.command);
    EXPECT_EQ(session.farm.receive_raw(wait_ms), "STARTED");
    EXPECT_EQ(session.farm.receive_raw(wait_ms), c.last_seen);
    session.farm.close();
    // The node notices on its next send or receive, finishes the command and stops; it
    // neither hangs nor dies of a signal. (A script that only logs runs to its end: the
    // notifications drop what cannot be sent.)
    const int status = session.node.wait(wait_ms);
    EXPECT_TRUE(status == 0 || status == 1) << status << session.node.stderr_text();
    EXPECT_THAT(session.log(), HasSubstr(std::string("\nGot command: ") + c.command + "\n"));
  }
}

// Where the machine allows it, a small tmpfs stands for a full disk; elsewhere the log
// file cannot grow past a file-size limit the node inherits.
TEST(NodeFaults, ALogFolderOnAFullDiskNeitherStopsTheNodeNorCorruptsWhatWasLogged) {
  testing::TempFolder tmp;
  const std::string folder = tmp.path() + "/full";
  std::filesystem::create_directory(folder);
  const bool mounted = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") == 0;
  rlimit previous{};
  ::getrlimit(RLIMIT_FSIZE, &previous);
  if (!mounted) {
    const rlimit small{64 * 1024, previous.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &small);  // inherited by the node; writes past it fail with EFBIG
    ::signal(SIGXFSZ, SIG_IGN);
  }
  {
    worker::FarmWorker farm;
    worker::NodeProcess node(testing::node_binary_path(), farm.port(), "t", {}, {{"TMP", folder}});
    if (!mounted) ::setrlimit(RLIMIT_FSIZE, &previous);
    farm.open_session(wait_ms, "t");
    // Each command logs itself and its fields: some 2 KB apiece, far past the room there is.
    const std::string command = "TempFolder," + std::string(1000, 'x');
    for (int i = 0; i < 200; ++i) farm.send_raw(command);
    EXPECT_EQ(farm.command("Bogus", wait_ms).final_reply(), "ERROR: Unexpected command \"Bogus\" received.");
    farm.close();
    EXPECT_EQ(node.wait(wait_ms), 0) << node.stderr_text();
  }
  // What was logged before the disk filled is there as it was written.
  const std::string log = read_file(folder + "/paravelle.log");
  EXPECT_THAT(log, ::testing::StartsWith("Thread: "));
  EXPECT_LE(log.size(), 64u * 1024);
  EXPECT_THAT(log, HasSubstr("running daemon...\n"));
  if (mounted) ::umount2(folder.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace paravelle
