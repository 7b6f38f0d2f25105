#include "worker/node_process.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "worker/errors.h"

namespace paravelle::worker {
namespace {

using ::testing::HasSubstr;

bool process_exists(pid_t pid) { return ::kill(pid, 0) == 0; }

TEST(NodeProcess, HangingChildIsKilledAndReapedOnDestruction) {
  pid_t pid;
  {
    NodeProcess sleeper({"/bin/sleep", "600"});
    pid = sleeper.pid();
    EXPECT_THROW(sleeper.wait(20), TimeoutError);
    EXPECT_TRUE(sleeper.running());
  }
  // Reaped: the pid no longer names a process (not even a zombie) of ours.
  EXPECT_FALSE(process_exists(pid));
}

TEST(NodeProcess, ChildIgnoringTermIsKilled) {
  NodeProcess stubborn({"/bin/sh", "-c", "trap '' TERM; echo ready; exec /bin/sleep 600"});
  // SIGTERM must not arrive before the shell has set its trap.
  for (int i = 0; i < 2000 && stubborn.stdout_text().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(stubborn.stdout_text(), "ready\n");
  EXPECT_EQ(stubborn.terminate(100), 128 + SIGKILL);
  EXPECT_FALSE(stubborn.running());
  EXPECT_EQ(stubborn.wait(0), 128 + SIGKILL);
}

TEST(NodeProcess, ArgumentsEnvironmentAndOutputs) {
  NodeProcess node({"/bin/sh", "-c", "echo \"$0 $PARAVELLE_TEST $TMP\"; echo oops >&2; exit 3", "--port"},
                   {{"PARAVELLE_TEST", "one"}, {"TMP", "/tmp/x"}});
  EXPECT_EQ(node.wait(10000), 3);
  EXPECT_EQ(node.stdout_text(), "--port one /tmp/x\n");
  EXPECT_EQ(node.stderr_text(), "oops\n");

  NodeProcess as_node("/bin/echo", 4711, "tok", {"--extra"});
  EXPECT_EQ(as_node.wait(10000), 0);
  EXPECT_EQ(as_node.stdout_text(), "--port 4711 --token tok --extra\n");
}

TEST(NodeProcess, MissingProgramIsAClearError) {
  try {
    NodeProcess missing("/nonexistent/paravelle-node", 1, "t");
    FAIL() << "started a missing program";
  } catch (const WorkerError& error) {
    EXPECT_THAT(error.what(), HasSubstr("cannot start /nonexistent/paravelle-node: No such file or directory"));
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory) << "the child's errno reaches the caller";
  }
}

}  // namespace
}  // namespace paravelle::worker
