// The reference worker's end of the connection against a raw node: frames byte for byte,
// limits, time-outs that keep partial frames, settings sent back to back behind one
// synchronising command; and what the farm reads: frame ranges, job files, requests answered.

#include <gmock/gmock.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <fstream>

#include "worker/farm_worker.h"
#include "support/raw_peer.h"
#include "worker/job_file.h"
#include "support/temp_folder.h"
#include "worker/command_text.h"
#include "worker/conversation.h"
#include "worker/errors.h"
#include "worker/frame_ranges.h"
#include "worker/job_replies.h"
#include "worker/job_requests.h"

namespace paravelle::worker {
namespace {

using paravelle::testing::frame_header;
using paravelle::testing::RawPeer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A worker with a raw node already connected to it.
struct Connected {
  FarmWorker worker;
  RawPeer node{worker.port()};
  Connected() { worker.accept(5000); }
};

TEST(FarmWorkerFrames, PayloadsTravelBothWaysByteForByteWithinTheLimits) {
  Connected link;
  const std::string largest(kMaxPayloadAccepted, 'x');
  for (const std::string& payload : {std::string(),
                                     std::string("Gr\xC3\xBC\xC3\x9F"
                                                 "e \xF0\x9D\x84\x9E"),
                                     largest}) {
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

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string with_header(const std::string& body) {
  return R"({"format": "paravelle-job", "version": 1)" + std::string(body.empty() ? "" : ", ") + body + "}";
}

TEST(FrameRanges, ExpandReadBackAndChunkInTheOrderWritten) {
  EXPECT_THAT(expand_frame_ranges(" 5 , -2--1,+4,0-0,3,3"), ElementsAre(5, -2, -1, 4, 0, 3, 3));
  EXPECT_THAT(expand_frame_ranges("2147483646-2147483647"), ElementsAre(2147483646, 2147483647));
  for (const auto& [frames, text] : std::vector<std::pair<std::vector<std::int32_t>, std::string>>{
           {{1, 2, 3, 7}, "1-3,7"},
           {{-3, -2, -1, 0, 5}, "-3-0,5"},
           {{5, 4, 4}, "5,4,4"},
           {{2147483646, 2147483647, -2147483648}, "2147483646-2147483647,-2147483648"}}) {
    EXPECT_EQ(frame_ranges_text(frames), text);
    EXPECT_EQ(expand_frame_ranges(text), frames) << text;
  }
  EXPECT_EQ(frame_ranges_text({}), "");
  EXPECT_THAT(frame_chunks(expand_frame_ranges("1-7,10"), 3), ElementsAre("1-3", "4-6", "7,10"));
  for (const auto& c :
       {std::pair{"5-1", "\"5-1\" is not a frame or frame range: the end is before the start"},
        {"1,,2", "\"1,,2\" has an empty frame entry"},
        {"1-", "\"1-\" is not a frame or frame range: a number is expected"},
        {"1-3x", "\"1-3x\" is not a frame or frame range: unexpected text after the range"},
        {"2147483648", "\"2147483648\" is not a frame or frame range: the number is out of range"},
        {"1 2", "\"1 2\" is not a frame or frame range: unexpected text after the number"},
        {"0-1000000", "\"0-1000000\" takes the job past 1000000 frames"}})
    EXPECT_THAT([&] { expand_frame_ranges(c.first); }, ::testing::ThrowsMessage<std::invalid_argument>(c.second));
}

TEST(JobFile, AFullJobIsReadWithPathsMadeAbsolute) {
  const JobFile job = parse_job_file(with_header(R"(
      "token": "t-1", "settings_before_start": ["GammaCorrection,2.2,2.2"],
      "scene": "../scenes/spheres.json", "camera": "Cam, main", "frames": [1, "3-4", "9"],
      "scripts": ["ExecuteStringScript,0,1", {"file": "pre.ms", "frame": 3, "return_string": true}, {"text": "\"a\""}],
      "job_info": {"Name": "Spheres", "Priority": 50, "Draft": false},
      "submit_info": {"Frames": ["1", 3], "User": "ann"},
      "aux_files": ["aux/a.txt", "C:\\data\\b.txt", "/abs/c.txt"],
      "path_mapping": [{"from": "C:\\assets\\", "to": "assets/"}, {"from": "//srv", "to": ""}])"),
                                     "/jobs/night/job.json");
  EXPECT_EQ(std::tie(job.token, job.scene, job.camera), std::tuple("t-1", "/jobs/scenes/spheres.json", "Cam, main"));
  EXPECT_THAT(job.frames, ElementsAre(1, 3, 4, 9));
  EXPECT_THAT(job.scripts, ElementsAre("ExecuteStringScript,0,1", "ExecuteMaxScriptFile,/jobs/night/pre.ms,true,3,true",
                                       "ExecuteStringScript,0,\\\"a\\\""));
  EXPECT_EQ(job.job_info.at("Priority"), "50");
  EXPECT_EQ(job.job_info.at("Draft"), "false");
  EXPECT_EQ(std::get<std::vector<std::string>>(job.submit_info.at("Frames")), (std::vector<std::string>{"1", "3"}));
  EXPECT_THAT(job.aux_files, ElementsAre("/jobs/night/aux/a.txt", "C:/data/b.txt", "/abs/c.txt"));
  ASSERT_EQ(job.path_mapping.size(), 2u);
  EXPECT_EQ(std::tie(job.path_mapping[0].from, job.path_mapping[0].to), std::tuple("C:\\assets", "/jobs/night/assets"));
  EXPECT_EQ(job.path_mapping[1].to, "");

  paravelle::testing::TempFolder folder;
  std::ofstream(folder.path() + "/job.json") << with_header(R"("scene": "s.json", "frames": [2])");
  EXPECT_EQ(load_job_file(folder.path() + "/job.json").scene, folder.path() + "/s.json");
  EXPECT_THAT([] { load_job_file("/nonexistent/job.json"); },
              ::testing::ThrowsMessage<JobFileError>("/nonexistent/job.json: no such file"));
}

TEST(JobFile, ProblemsNameTheFileAndTheEntry) {
  const std::string not_a_setting = "is not a settings command (the job sends it itself)";
  const std::pair<std::string, std::string> cases[] = {
      {"{\"format\": ", "not valid JSON: parse error at line 1, column 12: syntax error while parsing value - "
                        "unexpected end of input; expected '[', '{', or a literal"},
      {"[]", "a job file is a JSON object"},
      {R"({"version": 1})", "\"format\" must be \"paravelle-job\""},
      {R"({"format": "paravelle-job", "version": 2})", "unsupported version 2 (this program reads version 1)"},
      {with_header(R"("frame": [1])"), "unknown key \"frame\""},
      {with_header(R"("frames": [1, "4-2"])"),
       "\"frames\"[1]: \"4-2\" is not a frame or frame range: the end is before the start"},
      // The frame limit holds for the whole job, checked before an entry expands.
      {with_header(R"("frames": ["0-999999", "0-1"])"), "\"frames\"[1]: \"0-1\" takes the job past 1000000 frames"},
      {with_header(R"("frames": ["0-999998", 5, 6])"), "\"frames\"[2]: takes the job past 1000000 frames"},
      {with_header(R"("settings_after_start": ["HideFrameBuffer", "RenderTask,1"])"),
       "\"settings_after_start\"[1]: \"RenderTask\" " + not_a_setting},
      // The node reads the word with quotes and escapes resolved.
      {with_header(R"("settings_before_start": ["Start\"Job\",a"])"),
       "\"settings_before_start\"[0]: \"StartJob\" " + not_a_setting},
      {with_header(R"("path_mapping": [{"from": "", "to": "/x"}])"), "\"path_mapping\"[0]: \"from\" is empty"},
      {with_header(R"("scripts": [{"file": "a.ms", "text": "1"}])"),
       "\"scripts\"[0]: needs exactly one of \"file\" and \"text\""},
  };
  for (const auto& c : cases)
    EXPECT_THAT([&] { parse_job_file(c.first, "/j/job.json"); },
                ::testing::ThrowsMessage<JobFileError>("/j/job.json: " + c.second));
  EXPECT_EQ(parse_job_file(with_header(R"("frames": ["0-999998", 5])"), "/j.json").frames.size(), kMaxFrames);
}

TEST(JobRequests, AnsweredFromTheJobAndPathsMappedByWholeComponents) {
  JobFile job;
  job.job_info = {{"Name", "Spheres"}, {"Empty", ""}};
  job.submit_info = {{"Frames", std::vector<std::string>{"1", "2", "3,4"}}, {"User", "ann"}};
  job.aux_files = {"/jobs/a.txt", "/jobs/b.txt"};
  job.path_mapping = {{"C:\\Assets", "/mnt/assets"}, {"C:", "/mnt/c"}};
  const JobRequestAnswers answer(job);
  const std::pair<std::string, std::string> cases[] = {
      {"GETJOBINFOENTRY Name", "SUCCESS: Spheres"},
      {"GETJOBINFOENTRY name", "ERROR: no job info entry \"name\""},
      {"GETSUBMITINFOENTRYELEMENTCOUNT Frames", "SUCCESS: 3"},
      {"GETSUBMITINFOENTRYELEMENTCOUNT User", "ERROR: submit info entry \"User\" is not a list"},
      {"GETSUBMITINFOENTRYELEMENT 2,Frames", "SUCCESS: 3,4"},
      {"GETSUBMITINFOENTRYELEMENT x,Frames", "ERROR: expected an index, a comma and a key, got \"x,Frames\""},
      {"GETAUXFILE 1", "SUCCESS: /jobs/b.txt"},
      {"GETAUXFILE 2", "ERROR: no aux file 2 (the job has 2)"},
      {"FROBNICATE 1", "ERROR: unknown request \"FROBNICATE\""},
      {"GETPATHMAPPEDFILENAME c:/assets\\tex\\wood.png", "SUCCESS: /mnt/assets/tex/wood.png"},
      {"GETPATHMAPPEDFILENAME C:\\AssetsOld\\a.png", "SUCCESS: /mnt/c/AssetsOld/a.png"},
  };
  for (const auto& [request, reply] : cases) EXPECT_EQ(answer("FUNCTION: " + request), reply) << request;
  EXPECT_EQ(map_path("C:\\Assets", {{"C:\\Assets", "/mnt/assets"}}), "/mnt/assets");

  for (const char* text : {"C:/scenes/a.max", "a,b", "say \"hi\"\n\\", ""})
    EXPECT_EQ(first_command_field(command_field(text) + ",rest"), text) << "fields survive the node's splitting";
  EXPECT_EQ(command_field("say \"hi\"\n\\"), "say \\\"hi\\\"\\n\\\\");
  EXPECT_EQ(command_text("StartJob", {"/s/a b.json", ""}), "StartJob,/s/a b.json,");
  EXPECT_EQ(command_word("Bad\\x,1"), "Bad\\x") << "the node refuses it; shown as written";

  const auto problem = [](StepKind kind, std::vector<std::string> messages) {
    return reply_problem(kind, Conversation{std::move(messages)});
  };
  EXPECT_EQ(problem(StepKind::start_job, {"FUNCTION: STDOUT: x", "SUCCESS Scene loaded successfully"}), "");
  EXPECT_EQ(problem(StepKind::start_job, {"ERROR: Invalid max file", "SUCCESS Scene loaded successfully"}),
            "ERROR: Invalid max file");
  EXPECT_EQ(problem(StepKind::render_task, {"STARTED", "ERROR: boom", "ERROR: Failed to save file."}), "ERROR: boom");
  EXPECT_EQ(problem(StepKind::script, {"STARTED", "SUCCESS: abc"}), "");
  EXPECT_EQ(problem(StepKind::script, {"STARTED", "SUCCESS:abc"}), "SUCCESS:abc");
}

}  // namespace
}  // namespace paravelle::worker
