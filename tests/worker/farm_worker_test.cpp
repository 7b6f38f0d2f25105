// The reference worker's end of the connection against a raw node: frames byte for byte,
// limits, time-outs that keep partial frames, the session's checks, conversations with
// requests answered in place, and settings sent back to back behind one synchronising command.

#include "worker/farm_worker.h"

#include <gmock/gmock.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <future>

#include "support/raw_peer.h"
#include "worker/settings_batch.h"

namespace paravelle::worker {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using paravelle::testing::frame_header;
using paravelle::testing::RawPeer;

// A worker with a raw node already connected to it.
struct Connected {
  FarmWorker worker;
  RawPeer node{worker.port()};
  Connected() { worker.accept(5000); }
};

TEST(FarmWorkerFrames, PayloadsTravelBothWaysByteForByteWithinTheLimits) {
  Connected link;
  const std::string largest(kMaxPayloadAccepted, 'x');
  for (const std::string& payload : {std::string(), std::string("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9D\x84\x9E"), largest}) {
    link.node.write_frame(payload);
    EXPECT_EQ(link.worker.receive_raw(5000), payload);
  }
  link.worker.send_raw("TaskmereStartup");
  EXPECT_EQ(link.node.read_bytes(19), std::string("\0\0\0\x0F", 4) + "TaskmereStartup");
  link.worker.send_raw(largest);
  EXPECT_EQ(link.node.read_frame(), largest);
  EXPECT_THROW(link.worker.send_raw(std::string(kMaxPayloadToNode + 1, 'y')), WorkerError);
  link.worker.send_header_only(100000);
  EXPECT_EQ(link.node.read_bytes(4), std::string("\x00\x01\x86\xA0", 4)) << "nothing else went out before it";
  // A command goes out at once, not after the node's delayed acknowledgement of the frame before.
  int on = 0;
  socklen_t size = sizeof on;
  ASSERT_EQ(::getsockopt(link.worker.native_handle(), IPPROTO_TCP, TCP_NODELAY, &on, &size), 0);
  EXPECT_NE(on, 0);

  link.node.write_bytes(frame_header(100001));
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

TEST(FarmWorkerFrames, TimeOutsKeepPartialFramesAndCloseIsSeenAfterBufferedFrames) {
  Connected link;
  EXPECT_THROW(link.worker.receive_raw(0), TimeoutError);
  EXPECT_TRUE(link.worker.silent_for(20));
  EXPECT_FALSE(link.worker.peer_closed(20));
  const std::string frame = frame_header(5) + "hello";
  link.node.write_bytes(frame.substr(0, 2));
  EXPECT_THROW(link.worker.receive_raw(50), TimeoutError);
  link.node.write_bytes(frame.substr(2, 5));
  EXPECT_THROW(link.worker.receive_raw(50), TimeoutError);
  EXPECT_FALSE(link.worker.silent_for(0));
  link.node.write_bytes(frame.substr(7) + frame_header(3) + "abc" + frame_header(10) + "cut");
  link.node.close_connection();
  EXPECT_TRUE(link.worker.peer_closed(5000));
  EXPECT_EQ(link.worker.receive_raw(5000), "hello");
  EXPECT_EQ(link.worker.receive_raw(5000), "abc");
  EXPECT_THAT([&] { link.worker.receive_raw(5000); },
              ::testing::ThrowsMessage<ClosedError>("the node closed the connection in the middle of a frame"));
  EXPECT_THROW(link.worker.receive_raw(5000), ClosedError);

  link.worker.close();
  EXPECT_FALSE(link.worker.connected());
  EXPECT_THROW(link.worker.receive_raw(0), WorkerError);
  EXPECT_THROW(link.worker.send_raw("x"), WorkerError);
  EXPECT_THROW(link.worker.accept(20), TimeoutError);
  RawPeer second(link.worker.port());
  link.worker.accept(5000);
  EXPECT_THROW(link.worker.accept(0), WorkerError);
  second.write_frame("again");
  EXPECT_EQ(link.worker.receive_raw(5000), "again");
  link.worker.close();
  EXPECT_TRUE(second.sees_close());
}

TEST(FarmWorkerSession, TokenAndHandshakeAreChecked) {
  {
    Connected link;  // accept already done: open_session must refuse a second accept
    EXPECT_THROW(link.worker.open_session(100, "t"), WorkerError);
  }
  FarmWorker worker;
  const auto node = [&](std::vector<std::string> sent) {
    return std::async(std::launch::async, [&worker, sent] {
      RawPeer peer(worker.port());
      peer.write_frame(sent[0]);
      const std::string word = sent.size() > 1 ? peer.read_frame() : "";
      if (sent.size() > 1) peer.write_frame(sent[1]);
      peer.sees_close();
      return word;
    });
  };
  auto good = node({"token-1", "Paravelle Apr  6 2021 19:04:19 R"});
  EXPECT_EQ(worker.open_session(5000, "token-1"), "Paravelle Apr  6 2021 19:04:19 R");
  worker.close();
  EXPECT_EQ(good.get(), "TaskmereStartup");
  auto wrong = node({"token-2"});
  EXPECT_THAT([&] { worker.open_session(5000, "token-1"); },
              ::testing::ThrowsMessage<WorkerError>("the node sent the token \"token-2\", expected \"token-1\""));
  worker.close();
  wrong.get();
  auto old = node({"token-1", "Paravelle Apr  6 2021 19:04:19 R   Incompatible plugin versions detected, exiting."});
  EXPECT_THROW(worker.open_session(5000, "token-1"), WorkerError);
  worker.close();
  old.get();
}

TEST(FarmWorkerCommand, RequestsAreAnsweredBeforeTheNextMessageIsReadAndBothDirectionsObserved) {
  Connected link;
  std::vector<std::string> seen;
  link.worker.set_observer([&](Direction direction, const std::string& payload) {
    seen.push_back((direction == Direction::to_node ? "> " : "< ") + payload);
  });
  auto node = std::async(std::launch::async, [&] {
    link.node.read_frame();
    for (const char* message : {"STARTED", "FUNCTION: PROGRESS 25", "FUNCTION: GETJOBINFOENTRY Name"})
      link.node.write_frame(message);
    // Blocks here, as the node does: the rest is sent only once the answer came.
    link.node.write_frame("FUNCTION: SETTITLE " + link.node.read_frame());
    link.node.write_frame("FUNCTION: GETAUXFILE 0");
    link.node.write_frame("SUCCESS: " + link.node.read_frame());
  });
  std::vector<std::string> requests;
  const Conversation talk = link.worker.command("ExecuteStringScript,1,x", 5000, [&](const std::string& request) {
    requests.push_back(request);
    return requests.size() == 1 ? std::string("SUCCESS: Spheres") : std::string("ERROR: none");
  });
  node.get();
  EXPECT_THAT(requests, ElementsAre("FUNCTION: GETJOBINFOENTRY Name", "FUNCTION: GETAUXFILE 0"));
  EXPECT_EQ(talk.messages.size(), 6u);
  EXPECT_THAT(talk.replies(), ElementsAre("STARTED", "SUCCESS: ERROR: none"));
  EXPECT_THAT(talk.notifications("PROGRESS"), ElementsAre("25"));
  EXPECT_THAT(talk.notifications("SETTITLE"), ElementsAre("SUCCESS: Spheres"));
  EXPECT_EQ(talk.final_reply(), "SUCCESS: ERROR: none");
  EXPECT_EQ(seen.front(), "> ExecuteStringScript,1,x");
  EXPECT_EQ(seen.at(4), "> SUCCESS: Spheres");
  EXPECT_EQ(seen.back(), "< SUCCESS: ERROR: none");

  auto unhandled = std::async(std::launch::async, [&] {
    link.node.read_frame();
    link.node.write_frame("FUNCTION: GETPATHMAPPEDFILENAME C:/a.png");
    link.node.write_frame("ERROR: " + link.node.read_frame());
  });
  EXPECT_EQ(link.worker.command("X", 5000).final_reply(), "ERROR: ERROR: not handled");
  unhandled.get();
  EXPECT_THROW(link.worker.command("Y", 20), TimeoutError);
  EXPECT_THROW(Conversation().final_reply(), WorkerError);
}

// A job command ends at its final reply: after STARTED an error is not final, and a refusal
// without STARTED is.
TEST(FarmWorkerCommand, JobCommandsEndAtTheirFinalReply) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"RenderTask,3", {"STARTED", "FUNCTION: PROGRESS 50", "ERROR: disk full", "ERROR: Failed to save file."}},
      {"StartJob,a,", {"FUNCTION: STDOUT: x", "ERROR: Invalid max file: \"a\"", "SUCCESS Scene loaded successfully"}},
      {"EndJob", {"ERROR: EndJob called when consistency check flag jobRunning was not set", "SUCCESS"}},
      {"RenderTask,12", {"ERROR: RenderTask: Called without being in a job."}},
      {"StartJob,a", {"ERROR: StartJob: Expected 2 parameters, got 1"}},
      {"RenderTask,1", {"STARTED", "ERROR: Exception caught in 3ds max: Invalid UTF-16"}},
      {"RenderTask,1", {"STARTED", "ERROR: RenderTask: odd", "SUCCESS"}},
  };
  for (const auto& [command, replies] : cases) {
    Connected link;
    auto node = std::async(std::launch::async, [&] {
      link.node.read_frame();
      for (const auto& reply : replies) link.node.write_frame(reply);
      link.node.write_frame("next");
    });
    EXPECT_EQ(link.worker.job_command(command, 5000).messages, replies) << command;
    node.get();
    EXPECT_EQ(link.worker.receive_raw(5000), "next") << "job_command read past its final reply";
  }
}

// The error replies that come before the synchronising command's answer belong to the
// settings they name.
TEST(SettingsBatch, RepliesBeforeTheSyncAnswerBelongToTheSettingsTheyName) {
  const std::vector<std::string> settings = {"TempFolder,/t", "CurrentTask,x", "\"Gamma\"Correction,0,1", "Bogus"};
  const std::string sync = "SUCCESS: paravelle-farm: settings received";
  const struct {
    std::vector<std::string> replies, failures;
    bool session_over;
  } cases[] = {
      {{"STARTED", sync}, {}, false},
      {{"ERROR: Unexpected command \"Bogus\" received.", "ERROR: GammaCorrection: Parameter 1, \"0\", is bad.",
        "ERROR: CurrentTask: Parameter 1 , \"x\", is not a valid task number.", "STARTED", sync},
       {"Bogus => ERROR: Unexpected command \"Bogus\" received.",
        "\"Gamma\"Correction,0,1 => ERROR: GammaCorrection: Parameter 1, \"0\", is bad.",
        "CurrentTask,x => ERROR: CurrentTask: Parameter 1 , \"x\", is not a valid task number."},
       false},
      {{"ERROR: Odd: text", "STARTED", sync}, {"settings => ERROR: Odd: text"}, false},
      {{"ERROR: Exception caught in 3ds max: unknown escape sequence"},
       {"settings => ERROR: Exception caught in 3ds max: unknown escape sequence"}, true},
      {{"STARTED", "SUCCESS: something else"},
       {"ExecuteStringScript,0,\\\"paravelle-farm: settings received\\\" => SUCCESS: something else"}, false},
  };
  for (const auto& c : cases) {
    Connected link;
    auto node = std::async(std::launch::async, [&] {
      std::vector<std::string> received;
      for (std::size_t i = 0; i <= settings.size(); ++i) received.push_back(link.node.read_frame());
      for (const auto& reply : c.replies) link.node.write_frame(reply);
      return received;
    });
    const BatchResult result = send_settings(link.worker, settings, 5000);
    std::vector<std::string> failures;
    for (const auto& failure : result.failures) failures.push_back(failure.command + " => " + failure.reply);
    EXPECT_EQ(failures, c.failures);
    EXPECT_EQ(result.session_over, c.session_over);
    EXPECT_THAT(node.get(), ElementsAre(settings[0], settings[1], settings[2], settings[3], sync_command()));
  }
  Connected link;
  EXPECT_TRUE(send_settings(link.worker, {}, 5000).failures.empty());
  EXPECT_THROW(link.node.read_bytes(1, 0), std::runtime_error) << "no settings, nothing sent";
}

}  // namespace
}  // namespace paravelle::worker
