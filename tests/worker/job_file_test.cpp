#include "worker/job_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "worker/errors.h"
#include "worker/frame_ranges.h"
#include "worker/conversation.h"

namespace paravelle::worker {
namespace {

using ::testing::ElementsAre;

const std::filesystem::path kSource = "/jobs/night/job.json";

std::string with_header(const std::string& body) {
  return R"({"format": "paravelle-job", "version": 1)" + std::string(body.empty() ? "" : ", ") + body + "}";
}

// The text of the JobFileError that parsing `text` raises.
std::string problem_of(const std::string& text) {
  try {
    parse_job_file(text, kSource);
  } catch (const JobFileError& error) {
    return error.what();
  }
  return "accepted";
}

TEST(FrameRanges, ExpandInTheOrderWritten) {
  EXPECT_THAT(expand_frame_ranges("1-3,7"), ElementsAre(1, 2, 3, 7));
  EXPECT_THAT(expand_frame_ranges(" 5 , -2--1,+4,0-0"), ElementsAre(5, -2, -1, 4, 0));
  EXPECT_THAT(expand_frame_ranges("2147483646-2147483647"), ElementsAre(2147483646, 2147483647));
  EXPECT_THAT(expand_frame_ranges("3,3"), ElementsAre(3, 3));
}

TEST(FrameRanges, TextsAndChunksReadBackAsTheSameFrames) {
  const std::vector<std::pair<std::vector<std::int32_t>, std::string>> cases = {
      {{1, 2, 3, 7}, "1-3,7"},
      {{-3, -2, -1, 0, 5}, "-3-0,5"},
      {{5, 4, 4}, "5,4,4"},
      {{2147483646, 2147483647, -2147483648}, "2147483646-2147483647,-2147483648"},
      {{}, ""}};
  for (const auto& [frames, text] : cases) {
    EXPECT_EQ(frame_ranges_text(frames), text);
    if (!frames.empty()) {
      EXPECT_EQ(expand_frame_ranges(text), frames) << text;
    }
  }
  EXPECT_THAT(frame_chunks(expand_frame_ranges("1-7,10"), 3), ElementsAre("1-3", "4-6", "7,10"));
  EXPECT_THAT(frame_chunks({9, 8, 7}, 5), ElementsAre("9,8,7"));
}

TEST(FrameRanges, RejectionsNameTheEntry) {
  const auto message = [](const char* text) {
    try {
      expand_frame_ranges(text);
    } catch (const std::invalid_argument& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message("5-1"), "\"5-1\" is not a frame or frame range: the end is before the start");
  EXPECT_EQ(message("1,,2"), "\"1,,2\" has an empty frame entry");
  EXPECT_EQ(message("1-"), "\"1-\" is not a frame or frame range: a number is expected");
  EXPECT_EQ(message("1-3x"), "\"1-3x\" is not a frame or frame range: unexpected text after the range");
  EXPECT_EQ(message("2147483648"), "\"2147483648\" is not a frame or frame range: the number is out of range");
  EXPECT_EQ(message("1 2"), "\"1 2\" is not a frame or frame range: unexpected text after the number");
  EXPECT_EQ(message("0-1000000"), "\"0-1000000\" takes the job past 1000000 frames");
}

// The limit holds for the whole job, not per entry, and is checked before an entry expands.
TEST(JobFile, FrameLimitHoldsForTheWholeJob) {
  EXPECT_EQ(problem_of(with_header(R"("frames": ["0-999999", "0-1"])")),
            "/jobs/night/job.json: \"frames\"[1]: \"0-1\" takes the job past 1000000 frames");
  EXPECT_EQ(problem_of(with_header(R"("frames": "0-999998,5-6")")),
            "/jobs/night/job.json: \"frames\"[0]: \"5-6\" takes the job past 1000000 frames");
  EXPECT_EQ(problem_of(with_header(R"("frames": ["0-999998", 5, 6])")),
            "/jobs/night/job.json: \"frames\"[2]: takes the job past 1000000 frames");
  EXPECT_EQ(parse_job_file(with_header(R"("frames": ["0-999998", 5])"), kSource).frames.size(), kMaxFrames);
}

TEST(JobFile, FullJobIsReadWithPathsMadeAbsolute) {
  const JobFile job = parse_job_file(with_header(R"(
      "token": "t-1",
      "settings_before_start": ["GammaCorrection,2.2,2.2"],
      "scene": "../scenes/spheres.json", "camera": "Cam, main",
      "settings_after_start": ["FrameNumberBase,1"],
      "frames": [1, "3-4", "9"],
      "scripts": ["ExecuteStringScript,0,1", {"file": "pre.ms", "frame": 3, "return_string": true}, {"text": "\"a\""}],
      "job_info": {"Name": "Spheres", "Priority": 50, "Draft": false},
      "submit_info": {"Frames": ["1", 3], "User": "ann"},
      "aux_files": ["aux/a.txt", "C:\\data\\b.txt", "/abs/c.txt"],
      "path_mapping": [{"from": "C:\\assets\\", "to": "assets/"}, {"from": "//srv", "to": ""}])"),
                                     kSource);
  EXPECT_EQ(job.token, "t-1");
  EXPECT_EQ(job.scene, "/jobs/scenes/spheres.json");
  EXPECT_EQ(job.camera, "Cam, main");
  EXPECT_THAT(job.frames, ElementsAre(1, 3, 4, 9));
  EXPECT_THAT(job.scripts, ElementsAre("ExecuteStringScript,0,1", "ExecuteMaxScriptFile,/jobs/night/pre.ms,true,3,true",
                                       "ExecuteStringScript,0,\\\"a\\\""));
  EXPECT_EQ(job.job_info.at("Priority"), "50");
  EXPECT_EQ(job.job_info.at("Draft"), "false");
  EXPECT_EQ(std::get<std::vector<std::string>>(job.submit_info.at("Frames")), (std::vector<std::string>{"1", "3"}));
  EXPECT_THAT(job.aux_files, ElementsAre("/jobs/night/aux/a.txt", "C:/data/b.txt", "/abs/c.txt"));
  ASSERT_EQ(job.path_mapping.size(), 2u);
  EXPECT_EQ(job.path_mapping[0].from, "C:\\assets");
  EXPECT_EQ(job.path_mapping[0].to, "/jobs/night/assets");
  EXPECT_EQ(job.path_mapping[1].to, "");
}

TEST(JobFile, ProblemsNameTheFileAndTheEntry) {
  EXPECT_EQ(problem_of("{\"format\": "), "/jobs/night/job.json: not valid JSON: parse error at line 1, column 12: "
                                         "syntax error while parsing value - unexpected end of input; expected '[', "
                                         "'{', or a literal");
  EXPECT_EQ(problem_of("[]"), "/jobs/night/job.json: a job file is a JSON object");
  EXPECT_EQ(problem_of(R"({"version": 1})"), "/jobs/night/job.json: \"format\" must be \"paravelle-job\"");
  EXPECT_EQ(problem_of(R"({"format": "paravelle-job", "version": 2})"),
            "/jobs/night/job.json: unsupported version 2 (this program reads version 1)");
  EXPECT_EQ(problem_of(with_header(R"("frame": [1])")), "/jobs/night/job.json: unknown key \"frame\"");
  EXPECT_EQ(problem_of(with_header(R"("frames": [1, "4-2"])")),
            "/jobs/night/job.json: \"frames\"[1]: \"4-2\" is not a frame or frame range: the end is before the start");
  EXPECT_EQ(problem_of(with_header(R"("frames": [1.5])")),
            "/jobs/night/job.json: \"frames\"[0]: must be a frame number or a range text such as \"1-10\"");
  EXPECT_EQ(problem_of(with_header(R"("settings_after_start": ["HideFrameBuffer", "RenderTask,1"])")),
            "/jobs/night/job.json: \"settings_after_start\"[1]: \"RenderTask\" is not a settings command (the job "
            "sends it itself)");
  // The node reads the word with quotes and escapes resolved.
  EXPECT_EQ(problem_of(with_header(R"("settings_before_start": ["\"ExecuteStringScript\",0,1"])")),
            "/jobs/night/job.json: \"settings_before_start\"[0]: \"ExecuteStringScript\" is not a settings command "
            "(the job sends it itself)");
  EXPECT_EQ(problem_of(with_header(R"("settings_before_start": ["Start\"Job\",a"])")),
            "/jobs/night/job.json: \"settings_before_start\"[0]: \"StartJob\" is not a settings command (the job "
            "sends it itself)");
  EXPECT_EQ(problem_of(with_header(R"("settings_before_start": ["Hide\\qFrameBuffer"])")),
            "/jobs/night/job.json: \"settings_before_start\"[0] \"Hide\\qFrameBuffer\": the node cannot read this "
            "command and would end its session: unknown escape sequence \\q (a backslash starts an escape: write "
            "paths with forward slashes, C:/temp, or double each backslash, C:\\\\\\\\temp in JSON)");
  EXPECT_EQ(problem_of(with_header(R"("job_info": {"Name": {"x": 1}})")),
            "/jobs/night/job.json: \"job_info\".Name: must be a text, a number or true/false");
  EXPECT_EQ(problem_of(with_header(R"("path_mapping": [{"from": "", "to": "/x"}])")),
            "/jobs/night/job.json: \"path_mapping\"[0]: \"from\" is empty");
  EXPECT_EQ(problem_of(with_header(R"("scripts": [{"file": "a.ms", "text": "1"}])")),
            "/jobs/night/job.json: \"scripts\"[0]: needs exactly one of \"file\" and \"text\"");
  EXPECT_EQ(problem_of(with_header(R"("scene": 3)")), "/jobs/night/job.json: \"scene\": must be a text");
}

TEST(JobFile, LoadingReportsMissingFiles) {
  try {
    load_job_file("/nonexistent/job.json");
    FAIL() << "a missing file was read";
  } catch (const JobFileError& error) {
    EXPECT_STREQ(error.what(), "/nonexistent/job.json: no such file");
  }
  const auto path = std::filesystem::temp_directory_path() / ("paravelle-job-" + std::to_string(::getpid()) + ".json");
  std::ofstream(path) << with_header(R"("scene": "s.json", "frames": [2])");
  const JobFile job = load_job_file(path);
  std::filesystem::remove(path);
  EXPECT_EQ(job.scene, (path.parent_path() / "s.json").generic_string());
}

TEST(JobReplies, ExpectedKindsOfReply) {
  const auto problem = [](StepKind kind, std::vector<std::string> messages) {
    return reply_problem(kind, Conversation{std::move(messages)});
  };
  EXPECT_EQ(problem(StepKind::start_job, {"FUNCTION: STDOUT: x", "SUCCESS Scene loaded successfully"}), "");
  EXPECT_EQ(problem(StepKind::start_job, {"ERROR: Invalid max file: \"a\"", "SUCCESS Scene loaded successfully"}),
            "ERROR: Invalid max file: \"a\"");
  EXPECT_EQ(problem(StepKind::start_job, {"ERROR: Unexpected command \"StartJob\" received."}),
            "ERROR: Unexpected command \"StartJob\" received.");
  EXPECT_EQ(problem(StepKind::render_task, {"STARTED", "SUCCESS"}), "");
  EXPECT_EQ(problem(StepKind::render_task, {"STARTED", "ERROR: boom", "ERROR: Failed to save file."}), "ERROR: boom");
  EXPECT_EQ(problem(StepKind::end_job,
                    {"ERROR: EndJob called when consistency check flag jobRunning was not set", "SUCCESS"}),
            "ERROR: EndJob called when consistency check flag jobRunning was not set");
  EXPECT_EQ(problem(StepKind::script, {"STARTED", "SUCCESS: abc"}), "");
  EXPECT_EQ(problem(StepKind::script, {"STARTED", "SUCCESS:abc"}), "SUCCESS:abc");
  EXPECT_EQ(problem(StepKind::script, {}), "no reply");
}

}  // namespace
}  // namespace paravelle::worker
