// What the farm reads and writes: frame ranges, job files with every problem named, the
// node's requests answered from the job, the replies a step expects, and the JSON report.

#include "worker/job_file.h"

#include <gmock/gmock.h>

#include <fstream>

#include "support/temp_folder.h"
#include "worker/command_text.h"
#include "worker/conversation.h"
#include "worker/errors.h"
#include "worker/frame_ranges.h"
#include "worker/job_replies.h"
#include "worker/job_report.h"
#include "worker/job_requests.h"

namespace paravelle::worker {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string with_header(const std::string& body) {
  return R"({"format": "paravelle-job", "version": 1)" + std::string(body.empty() ? "" : ", ") + body + "}";
}

TEST(FrameRanges, ExpandReadBackAndChunkInTheOrderWritten) {
  EXPECT_THAT(expand_frame_ranges(" 5 , -2--1,+4,0-0,3,3"), ElementsAre(5, -2, -1, 4, 0, 3, 3));
  EXPECT_THAT(expand_frame_ranges("2147483646-2147483647"), ElementsAre(2147483646, 2147483647));
  for (const auto& [frames, text] : std::vector<std::pair<std::vector<std::int32_t>, std::string>>{
           {{1, 2, 3, 7}, "1-3,7"}, {{-3, -2, -1, 0, 5}, "-3-0,5"}, {{5, 4, 4}, "5,4,4"},
           {{2147483646, 2147483647, -2147483648}, "2147483646-2147483647,-2147483648"}}) {
    EXPECT_EQ(frame_ranges_text(frames), text);
    EXPECT_EQ(expand_frame_ranges(text), frames) << text;
  }
  EXPECT_EQ(frame_ranges_text({}), "");
  EXPECT_THAT(frame_chunks(expand_frame_ranges("1-7,10"), 3), ElementsAre("1-3", "4-6", "7,10"));
  EXPECT_THAT(frame_chunks({9, 8, 7}, 5), ElementsAre("9,8,7"));
  for (const auto& [text, message] :
       {std::pair{"5-1", "\"5-1\" is not a frame or frame range: the end is before the start"},
        {"1,,2", "\"1,,2\" has an empty frame entry"},
        {"1-", "\"1-\" is not a frame or frame range: a number is expected"},
        {"1-3x", "\"1-3x\" is not a frame or frame range: unexpected text after the range"},
        {"2147483648", "\"2147483648\" is not a frame or frame range: the number is out of range"},
        {"1 2", "\"1 2\" is not a frame or frame range: unexpected text after the number"},
        {"0-1000000", "\"0-1000000\" takes the job past 1000000 frames"}})
    EXPECT_THAT([&] { expand_frame_ranges(text); }, ::testing::ThrowsMessage<std::invalid_argument>(message));
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
  EXPECT_EQ(std::tie(job.token, job.scene, job.camera),
            std::tuple("t-1", "/jobs/scenes/spheres.json", "Cam, main"));
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
      {with_header(R"("frames": [1.5])"), "\"frames\"[0]: must be a frame number or a range text such as \"1-10\""},
      // The frame limit holds for the whole job, checked before an entry expands.
      {with_header(R"("frames": ["0-999999", "0-1"])"), "\"frames\"[1]: \"0-1\" takes the job past 1000000 frames"},
      {with_header(R"("frames": "0-999998,5-6")"), "\"frames\"[0]: \"5-6\" takes the job past 1000000 frames"},
      {with_header(R"("frames": ["0-999998", 5, 6])"), "\"frames\"[2]: takes the job past 1000000 frames"},
      {with_header(R"("settings_after_start": ["HideFrameBuffer", "RenderTask,1"])"),
       "\"settings_after_start\"[1]: \"RenderTask\" " + not_a_setting},
      // The node reads the word with quotes and escapes resolved.
      {with_header(R"("settings_before_start": ["Start\"Job\",a"])"),
       "\"settings_before_start\"[0]: \"StartJob\" " + not_a_setting},
      {with_header(R"("settings_before_start": ["Hide\\qFrameBuffer"])"),
       "\"settings_before_start\"[0]: the node cannot read this command: unknown escape sequence \\q"},
      {with_header(R"("job_info": {"Name": {"x": 1}})"), "\"job_info\".Name: must be a text, a number or true/false"},
      {with_header(R"("path_mapping": [{"from": "", "to": "/x"}])"), "\"path_mapping\"[0]: \"from\" is empty"},
      {with_header(R"("scripts": [{"file": "a.ms", "text": "1"}])"),
       "\"scripts\"[0]: needs exactly one of \"file\" and \"text\""},
      {with_header(R"("scene": 3)"), "\"scene\": must be a text"},
  };
  for (const auto& [text, problem] : cases)
    EXPECT_THAT([&] { parse_job_file(text, "/j/job.json"); },
                ::testing::ThrowsMessage<JobFileError>("/j/job.json: " + problem));
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
      {"GETJOBINFOENTRY Empty", "SUCCESS: "},
      {"GETJOBINFOENTRY name", "ERROR: no job info entry \"name\""},
      {"GETSUBMITINFOENTRY Frames", "SUCCESS: 1,2,3,4"},
      {"GETSUBMITINFOENTRYELEMENTCOUNT Frames", "SUCCESS: 3"},
      {"GETSUBMITINFOENTRYELEMENTCOUNT User", "ERROR: submit info entry \"User\" is not a list"},
      {"GETSUBMITINFOENTRYELEMENT 2,Frames", "SUCCESS: 3,4"},
      {"GETSUBMITINFOENTRYELEMENT 3,Frames", "ERROR: submit info entry \"Frames\" has no element 3"},
      {"GETSUBMITINFOENTRYELEMENT -1,Frames", "ERROR: submit info entry \"Frames\" has no element -1"},
      {"GETSUBMITINFOENTRYELEMENT x,Frames", "ERROR: expected an index, a comma and a key, got \"x,Frames\""},
      {"GETAUXFILE 1", "SUCCESS: /jobs/b.txt"},
      {"GETAUXFILE 2", "ERROR: no aux file 2 (the job has 2)"},
      {"GETAUXFILE -1", "ERROR: no aux file -1 (the job has 2)"},
      {"FROBNICATE 1", "ERROR: unknown request \"FROBNICATE\""},
      {"GETPATHMAPPEDFILENAME c:/assets\\tex\\wood.png", "SUCCESS: /mnt/assets/tex/wood.png"},
      {"GETPATHMAPPEDFILENAME C:\\AssetsOld\\a.png", "SUCCESS: /mnt/c/AssetsOld/a.png"},
      {"GETPATHMAPPEDFILENAME D:\\x.png", "SUCCESS: D:\\x.png"},
  };
  for (const auto& [request, reply] : cases) EXPECT_EQ(answer("FUNCTION: " + request), reply) << request;
  EXPECT_EQ(map_path("C:\\Assets", {{"C:\\Assets", "/mnt/assets"}}), "/mnt/assets");

  for (const char* text : {"C:/scenes/a.max", "a,b", "say \"hi\"\n\\", ""})
    EXPECT_EQ(first_command_field(command_field(text) + ",rest"), text) << "fields survive the node's splitting";
  EXPECT_EQ(command_field("say \"hi\"\n\\"), "say \\\"hi\\\"\\n\\\\");
  EXPECT_EQ(command_text("StartJob", {"/s/a b.json", ""}), "StartJob,/s/a b.json,");
  EXPECT_EQ(command_word("Render\\,Task,1"), "Render,Task");
  EXPECT_EQ(command_word("Bad\\x,1"), "Bad\\x") << "the node refuses it; shown as written";

  const auto problem = [](StepKind kind, std::vector<std::string> messages) {
    return reply_problem(kind, Conversation{std::move(messages)});
  };
  EXPECT_EQ(problem(StepKind::start_job, {"FUNCTION: STDOUT: x", "SUCCESS Scene loaded successfully"}), "");
  EXPECT_EQ(problem(StepKind::start_job, {"ERROR: Invalid max file", "SUCCESS Scene loaded successfully"}),
            "ERROR: Invalid max file");
  EXPECT_EQ(problem(StepKind::render_task, {"STARTED", "ERROR: boom", "ERROR: Failed to save file."}), "ERROR: boom");
  EXPECT_EQ(problem(StepKind::end_job, {"ERROR: EndJob x", "SUCCESS"}), "ERROR: EndJob x");
  EXPECT_EQ(problem(StepKind::script, {"STARTED", "SUCCESS: abc"}), "");
  EXPECT_EQ(problem(StepKind::script, {"STARTED", "SUCCESS:abc"}), "SUCCESS:abc");
  EXPECT_EQ(problem(StepKind::script, {}), "no reply");
}

FrameRecord record(std::int32_t frame, FrameStatus status, int tries, std::string problem = "") {
  FrameRecord r;
  r.frame = frame;
  r.status = status;
  r.tries = tries;
  r.node = 2;
  r.render_seconds = 0.25;
  r.problem = std::move(problem);
  if (status == FrameStatus::done) r.outputs = {{"/out/a_" + std::to_string(frame) + ".png", 20480}, {"/out/z.exr", 100}};
  return r;
}

JobReport part(std::vector<FrameRecord> frames) {
  JobReport report;
  report.job_file = "/jobs/a.json";
  report.frames = std::move(frames);
  report.node_starts = 2;
  report.elapsed_seconds = 3.5;
  return report;
}

TEST(JobReport, WrittenReadBackMergedAndSummarised) {
  paravelle::testing::TempFolder folder;
  JobReport report = part({record(1, FrameStatus::done, 1), record(12, FrameStatus::failed, 3, "stalled \"x\"\\"),
                           record(3, FrameStatus::pending, 0, "the job start failed")});
  report.frames[1].crash_reports = {"/r/frame-12-crash.txt"};
  const std::string file = folder.path() + "/report.json";
  write_report(report, file);
  EXPECT_FALSE(std::filesystem::exists(file + ".partial"));
  EXPECT_EQ(report_json(read_report(file)), report_json(report));
  EXPECT_THAT(report_json(report), HasSubstr("\"totals\": {\n    \"done\": 1,\n    \"elapsed_seconds\": 3.5,\n"
                                             "    \"failed\": 1,\n    \"frames\": 3,\n    \"node_starts\": 2,\n"
                                             "    \"not_rendered\": 1,\n    \"tries\": 4\n  }"));
  report.frames.pop_back();
  report.frames[1].problem = "stalled";
  EXPECT_EQ(summary_table(report), "   frame  status        tries  node   seconds  outputs / problem\n"
                                   "       1  done              1     2      0.25  2 files, 20 KB\n"
                                   "      12  failed            3     2      0.25  stalled\n"
                                   "2 frame(s): 1 done, 1 failed, 0 not rendered; 4 tries, 2 node start(s), 3.5 s\n");
  for (const auto& [text, problem] : std::vector<std::pair<std::string, std::string>>{
           {"{", "syntax error"},
           {"{\"format\": \"paravelle-job\", \"version\": 1}", "not a paravelle-farm-report"},
           {R"({"format": "paravelle-farm-report", "version": 1, "job_file": "a", "frames": [{"frame": 1}]})",
            "key 'status' not found"}}) {
    std::ofstream(file, std::ios::trunc) << text;
    EXPECT_THAT([&] { read_report(file); },
                ::testing::ThrowsMessage<JobFileError>(::testing::AllOf(HasSubstr(file + ": "), HasSubstr(problem))));
  }

  // Merging keeps the best try of each frame and names the frames no report holds.
  const JobReport merged = merge_reports(
      "/jobs/a.json", {1, 2, 3, 4},
      {part({record(1, FrameStatus::done, 1), record(2, FrameStatus::failed, 3, "stalled")}),
       part({record(2, FrameStatus::done, 2), record(3, FrameStatus::failed, 1, "crash")}),
       part({record(3, FrameStatus::pending, 0, "not reached"), record(9, FrameStatus::done, 1)})});
  ASSERT_EQ(merged.frames.size(), 4u);
  EXPECT_EQ(std::tie(merged.frames[1].status, merged.frames[1].tries), std::tuple(FrameStatus::done, 2));
  EXPECT_EQ(std::tie(merged.frames[2].status, merged.frames[2].problem), std::tuple(FrameStatus::failed, "crash"));
  EXPECT_EQ(std::tie(merged.frames[3].status, merged.frames[3].problem),
            std::tuple(FrameStatus::pending, "missing from every report"));
  EXPECT_EQ(merged.node_starts, 6);
  EXPECT_FALSE(merged.all_done());
  EXPECT_TRUE(merge_reports("/jobs/a.json", {1}, {part({record(1, FrameStatus::done, 1)})}).all_done());
  EXPECT_FALSE(merge_reports("/jobs/a.json", {}, {}).all_done());
}

}  // namespace
}  // namespace paravelle::worker
