// An answer whose frame header announces more than a frame may hold, inside a script's
// request to the farm.

#include <gtest/gtest.h>

#include "script_run.h"

namespace paravelle::testing {
namespace {

using FarmRequestFraming = FarmSession;

// The bad frame's payload stays in the stream; read on, it would answer the next request
// (here with a forged "SUCCESS"). A script that catches the error must not get to ask
// again: the node hangs up, and its session ends as when the worker goes away.
TEST_F(FarmRequestFraming, AnOversizedAnswerEndsTheConnectionEvenForAScriptThatCatchesIt) {
  auto outcome = start(L"try (TaskmereUtil.GetAuxFilename 1) catch (); TaskmereUtil.GetAuxFilename 2");
  EXPECT_EQ(worker.receive_raw(wait_ms), "FUNCTION: GETAUXFILE 1");
  worker.send_header_only(100001);
  worker.send_raw("SUCCESS: forged");
  EXPECT_EQ(finish(outcome).error, L"Error in GetAuxFilename: simple_socket: send called while not connected.");
  EXPECT_TRUE(worker.peer_closed(wait_ms));
  EXPECT_TRUE(session_result());
}

}  // namespace
}  // namespace paravelle::testing
