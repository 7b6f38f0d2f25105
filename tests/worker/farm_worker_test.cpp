#include "worker/farm_worker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <future>

#include "raw_client.h"

namespace paravelle::worker {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::RawClient;

// A worker with a raw client already connected to it.
struct Connected {
  FarmWorker worker;
  RawClient client{worker.port()};
  Connected() { worker.accept(5000); }
};

TEST(FarmWorkerFrames, PayloadsTravelBothWaysByteForByte) {
  Connected link;
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F"
                           "e \xE2\x9C\x93 \xF0\x9D\x84\x9E";
  const std::string largest(kMaxPayloadAccepted, 'x');
  for (const std::string& payload : {std::string(), std::string("TaskmereStartup"), utf8, largest}) {
    link.client.send_frame(payload);
    EXPECT_EQ(link.worker.receive_raw(5000), payload);
  }
  link.worker.send_raw("TaskmereStartup");
  EXPECT_EQ(link.client.receive_bytes(19), std::string("\0\0\0\x0F", 4) + "TaskmereStartup");
  link.worker.send_raw("");
  EXPECT_EQ(link.client.receive_bytes(4), std::string(4, '\0'));
  link.worker.send_raw(largest);
  EXPECT_EQ(link.client.receive_frame(), largest);
}

// A command and the answer to a request go out at once, not after the node's delayed
// acknowledgement of the frame before.
TEST(FarmWorkerFrames, TheConnectionSendsWithoutNagleDelay) {
  Connected link;
  int on = 0;
  socklen_t size = sizeof on;
  ASSERT_EQ(::getsockopt(link.worker.native_handle(), IPPROTO_TCP, TCP_NODELAY, &on, &size), 0);
  EXPECT_NE(on, 0);
}

TEST(FarmWorkerFrames, TimeOutsKeepPartialFramesForTheNextRead) {
  Connected link;
  EXPECT_THROW(link.worker.receive_raw(0), TimeoutError);
  const std::string frame = RawClient::header(5) + "hello";
  link.client.send_bytes(frame.substr(0, 2));
  EXPECT_THROW(link.worker.receive_raw(50), TimeoutError);
  link.client.send_bytes(frame.substr(2, 5));
  EXPECT_THROW(link.worker.receive_raw(50), TimeoutError);
  link.client.send_bytes(frame.substr(7) + RawClient::header(3) + "abc");
  EXPECT_EQ(link.worker.receive_raw(5000), "hello");
  EXPECT_EQ(link.worker.receive_raw(5000), "abc");
}

TEST(FarmWorkerFrames, SizeLimitsInBothDirections) {
  Connected link;
  EXPECT_THROW(link.worker.send_raw(std::string(kMaxPayloadToNode + 1, 'y')), WorkerError);
  link.worker.send_header_only(100000);
  EXPECT_EQ(link.client.receive_bytes(4), std::string("\x00\x01\x86\xA0", 4));  // nothing else went out before it

  link.client.send_bytes(RawClient::header(100001));
  try {
    link.worker.receive_raw(5000);
    FAIL() << "an oversized frame was accepted";
  } catch (const TimeoutError&) {
    FAIL() << "reported as a time-out";
  } catch (const ClosedError&) {
    FAIL() << "reported as a close";
  } catch (const WorkerError& error) {
    EXPECT_THAT(error.what(), HasSubstr("100001"));
  }
  EXPECT_THROW(link.worker.receive_raw(0), WorkerError) << "the bad header must stay unread";
  EXPECT_TRUE(link.worker.connected());
}

TEST(FarmWorkerFrames, PeerCloseAfterBufferedFrames) {
  Connected link;
  link.client.send_frame("last words");
  link.client.send_bytes(RawClient::header(10) + "cut");
  link.client.close();
  EXPECT_TRUE(link.worker.peer_closed(5000));
  EXPECT_EQ(link.worker.receive_raw(5000), "last words");
  try {
    link.worker.receive_raw(5000);
    FAIL() << "no ClosedError";
  } catch (const ClosedError& error) {
    EXPECT_STREQ(error.what(), "the node closed the connection in the middle of a frame");
  }
  EXPECT_THROW(link.worker.receive_raw(5000), ClosedError);
  EXPECT_FALSE(link.worker.silent_for(10));
}

TEST(FarmWorkerFrames, SilenceAndCloseAreObservedWithoutConsuming) {
  Connected link;
  EXPECT_TRUE(link.worker.silent_for(20));
  EXPECT_FALSE(link.worker.peer_closed(20));
  link.client.send_frame("ERROR: RegionRendering: Expected 6 parameters, got 3");
  EXPECT_FALSE(link.worker.silent_for(5000));
  EXPECT_FALSE(link.worker.silent_for(0));
  EXPECT_EQ(link.worker.receive_raw(0), "ERROR: RegionRendering: Expected 6 parameters, got 3");

  link.worker.close();
  EXPECT_FALSE(link.worker.connected());
  EXPECT_TRUE(link.client.sees_close());
  EXPECT_THROW(link.worker.receive_raw(0), WorkerError);
  RawClient second(link.worker.port());
  link.worker.accept(5000);
  second.send_frame("again");
  EXPECT_EQ(link.worker.receive_raw(5000), "again");
}

TEST(FarmWorkerFrames, AcceptWaitsOnlyAsLongAsAllowed) {
  FarmWorker worker;
  EXPECT_NE(worker.port(), 0);
  EXPECT_THROW(worker.accept(20), TimeoutError);
  EXPECT_THROW(worker.send_raw("x"), WorkerError);
  RawClient client(worker.port());
  worker.accept(5000);
  EXPECT_THROW(worker.accept(0), WorkerError);
}

TEST(FarmWorkerSession, TokenAndHandshakeAreChecked) {
  {
    Connected link;  // accept already done: open_session must refuse a second accept
    EXPECT_THROW(link.worker.open_session(100, "t"), WorkerError);
  }
  FarmWorker worker;
  RawClient good(worker.port());
  auto node = std::async(std::launch::async, [&] {
    good.send_frame("token-1");
    const std::string word = good.receive_frame();
    good.send_frame("Paravelle Apr  6 2021 19:04:19 R");
    return word;
  });
  EXPECT_EQ(worker.open_session(5000, "token-1"), "Paravelle Apr  6 2021 19:04:19 R");
  EXPECT_EQ(node.get(), "TaskmereStartup");
  worker.close();

  RawClient wrong(worker.port());
  wrong.send_frame("token-2");
  try {
    worker.open_session(5000, "token-1");
    FAIL() << "a wrong token was accepted";
  } catch (const WorkerError& error) {
    EXPECT_STREQ(error.what(), "the node sent the token \"token-2\", expected \"token-1\"");
  }
  worker.close();

  RawClient old(worker.port());
  old.send_frame("token-1");
  old.send_frame("Paravelle Apr  6 2021 19:04:19 R   Incompatible plugin versions detected, exiting.");
  EXPECT_THROW(worker.open_session(5000, "token-1"), WorkerError);
}

TEST(FarmWorkerCommand, RequestsAreAnsweredBeforeTheNextMessageIsRead) {
  Connected link;
  auto node = std::async(std::launch::async, [&] {
    const std::string command = link.client.receive_frame();
    link.client.send_frame("STARTED");
    link.client.send_frame("FUNCTION: STDOUT: MaxParavelle: loading");
    link.client.send_frame("FUNCTION: PROGRESS 25");
    link.client.send_frame("FUNCTION: GETJOBINFOENTRY Name");
    // Blocks here, as the node does: the rest is sent only once the answer came.
    const std::string answer = link.client.receive_frame();
    link.client.send_frame("FUNCTION: SETTITLE " + answer);
    link.client.send_frame("FUNCTION: GETAUXFILE 0");
    const std::string unhandled = link.client.receive_frame();
    link.client.send_frame("SUCCESS: " + unhandled);
    return command;
  });
  std::vector<std::string> requests;
  auto handler = [&](const std::string& request) {
    requests.push_back(request);
    return requests.size() == 1 ? std::string("SUCCESS: Spheres") : std::string("ERROR: none");
  };
  const Conversation talk = link.worker.command("ExecuteStringScript,1,\\\"x\\\"", 5000, handler);
  EXPECT_EQ(node.get(), "ExecuteStringScript,1,\\\"x\\\"");
  EXPECT_THAT(requests, ElementsAre("FUNCTION: GETJOBINFOENTRY Name", "FUNCTION: GETAUXFILE 0"));
  EXPECT_EQ(talk.messages.size(), 7u);
  EXPECT_THAT(talk.replies(), ElementsAre("STARTED", "SUCCESS: ERROR: none"));
  EXPECT_THAT(talk.notifications("STDOUT"), ElementsAre("MaxParavelle: loading"));
  EXPECT_THAT(talk.notifications("PROGRESS"), ElementsAre("25"));
  EXPECT_THAT(talk.notifications("SETTITLE"), ElementsAre("SUCCESS: Spheres"));
  EXPECT_THAT(talk.notifications("GETAUXFILE"), ElementsAre("0"));
  EXPECT_EQ(talk.final_reply(), "SUCCESS: ERROR: none");
}

TEST(FarmWorkerCommand, DefaultHandlerAndTimeOut) {
  Connected link;
  auto node = std::async(std::launch::async, [&] {
    link.client.receive_frame();
    link.client.send_frame("FUNCTION: GETPATHMAPPEDFILENAME C:/a.png");
    const std::string answer = link.client.receive_frame();
    link.client.send_frame("ERROR: " + answer);
  });
  EXPECT_EQ(link.worker.command("X", 5000).final_reply(), "ERROR: ERROR: not handled");
  node.get();
  EXPECT_THROW(link.worker.command("Y", 20), TimeoutError);
  EXPECT_THROW(Conversation().final_reply(), WorkerError);
}

// Plays a node that answers one command with `replies` and then sends "next".
std::vector<std::string> job_conversation(const std::string& command, const std::vector<std::string>& replies) {
  Connected link;
  auto node = std::async(std::launch::async, [&] {
    link.client.receive_frame();
    for (const auto& reply : replies) link.client.send_frame(reply);
    link.client.send_frame("next");
  });
  auto messages = link.worker.job_command(command, 5000).messages;
  node.get();
  EXPECT_EQ(link.worker.receive_raw(5000), "next") << "job_command read past its final reply";
  return messages;
}

TEST(FarmWorkerCommand, JobCommandsEndAtTheirFinalReply) {
  EXPECT_THAT(job_conversation("RenderTask,3",
                               {"STARTED", "FUNCTION: PROGRESS 50", "ERROR: disk full", "ERROR: Failed to save file."}),
              ElementsAre("STARTED", "FUNCTION: PROGRESS 50", "ERROR: disk full", "ERROR: Failed to save file."));
  EXPECT_THAT(job_conversation("StartJob,C:/s/a.max,",
                               {"FUNCTION: STDOUT: MaxParavelle: StartJob begin",
                                "ERROR: Invalid max file: \"C:/s/a.max\"", "SUCCESS Scene loaded successfully"}),
              ElementsAre("FUNCTION: STDOUT: MaxParavelle: StartJob begin", "ERROR: Invalid max file: \"C:/s/a.max\"",
                          "SUCCESS Scene loaded successfully"));
  EXPECT_THAT(job_conversation("EndJob",
                               {"ERROR: EndJob called when consistency check flag jobRunning was not set", "SUCCESS"}),
              ElementsAre("ERROR: EndJob called when consistency check flag jobRunning was not set", "SUCCESS"));
}

TEST(FarmWorkerCommand, RefusalsWithoutAFinalReplyEndAJobCommand) {
  EXPECT_THAT(job_conversation("RenderTask,12", {"ERROR: RenderTask: Called without being in a job."}),
              ElementsAre("ERROR: RenderTask: Called without being in a job."));
  EXPECT_THAT(job_conversation("StartJob,a", {"ERROR: StartJob: Expected 2 parameters, got 1"}),
              ElementsAre("ERROR: StartJob: Expected 2 parameters, got 1"));
  EXPECT_THAT(job_conversation("StartJob,a,b", {"ERROR: Unexpected command \"StartJob\" received."}),
              ElementsAre("ERROR: Unexpected command \"StartJob\" received."));
  EXPECT_THAT(job_conversation("RenderTask,1", {"STARTED", "ERROR: Exception caught in 3ds max: Invalid UTF-16"}),
              ElementsAre("STARTED", "ERROR: Exception caught in 3ds max: Invalid UTF-16"));
  // After STARTED an error is not final: the node always follows it with its final reply.
  EXPECT_THAT(job_conversation("RenderTask,1", {"STARTED", "ERROR: RenderTask: odd", "SUCCESS"}),
              ElementsAre("STARTED", "ERROR: RenderTask: odd", "SUCCESS"));
}

TEST(FarmWorkerCommand, ObserverSeesBothDirectionsInOrder) {
  Connected link;
  std::vector<std::string> seen;
  link.worker.set_observer([&](Direction direction, const std::string& payload) {
    seen.push_back((direction == Direction::to_node ? "> " : "< ") + payload);
  });
  auto node = std::async(std::launch::async, [&] {
    link.client.receive_frame();
    link.client.send_frame("FUNCTION: GETAUXFILE 1");
    link.client.receive_frame();
    link.client.send_frame("SUCCESS");
  });
  link.worker.job_command("EndJob", 5000, [](const std::string&) { return "SUCCESS: /x"; });
  node.get();
  EXPECT_THAT(seen, ElementsAre("> EndJob", "< FUNCTION: GETAUXFILE 1", "> SUCCESS: /x", "< SUCCESS"));
}

}  // namespace
}  // namespace paravelle::worker
