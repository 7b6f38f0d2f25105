#include "worker/job_requests.h"

#include <gtest/gtest.h>

#include "worker/command_text.h"
#include "worker/job_replies.h"

namespace paravelle::worker {
namespace {

JobRequestAnswers answers() {
  JobFile job;
  job.job_info = {{"Name", "Spheres"}, {"Empty", ""}};
  job.submit_info = {{"Frames", std::vector<std::string>{"1", "2", "3,4"}}, {"User", "ann"}};
  job.aux_files = {"/jobs/a.txt", "/jobs/b.txt"};
  job.path_mapping = {{"C:\\Assets", "/mnt/assets"}, {"C:", "/mnt/c"}};
  return JobRequestAnswers(job);
}

TEST(JobRequestAnswers, EntriesAndElements) {
  const auto answer = answers();
  EXPECT_EQ(answer("FUNCTION: GETJOBINFOENTRY Name"), "SUCCESS: Spheres");
  EXPECT_EQ(answer("FUNCTION: GETJOBINFOENTRY Empty"), "SUCCESS: ");
  EXPECT_EQ(answer("FUNCTION: GETJOBINFOENTRY name"), "ERROR: no job info entry \"name\"");
  EXPECT_EQ(answer("FUNCTION: GETSUBMITINFOENTRY User"), "SUCCESS: ann");
  EXPECT_EQ(answer("FUNCTION: GETSUBMITINFOENTRY Frames"), "SUCCESS: 1,2,3,4");
  EXPECT_EQ(answer("FUNCTION: GETSUBMITINFOENTRYELEMENTCOUNT Frames"), "SUCCESS: 3");
  EXPECT_EQ(answer("FUNCTION: GETSUBMITINFOENTRYELEMENTCOUNT User"), "ERROR: submit info entry \"User\" is not a list");
  EXPECT_EQ(answer("FUNCTION: GETSUBMITINFOENTRYELEMENT 2,Frames"), "SUCCESS: 3,4");
  EXPECT_EQ(answer("FUNCTION: GETSUBMITINFOENTRYELEMENT 3,Frames"),
            "ERROR: submit info entry \"Frames\" has no element 3");
  EXPECT_EQ(answer("FUNCTION: GETSUBMITINFOENTRYELEMENT -1,Frames"),
            "ERROR: submit info entry \"Frames\" has no element -1");
  EXPECT_EQ(answer("FUNCTION: GETSUBMITINFOENTRYELEMENT x,Frames"),
            "ERROR: expected an index, a comma and a key, got \"x,Frames\"");
  EXPECT_EQ(answer("FUNCTION: GETAUXFILE 1"), "SUCCESS: /jobs/b.txt");
  EXPECT_EQ(answer("FUNCTION: GETAUXFILE 2"), "ERROR: no aux file 2 (the job has 2)");
  EXPECT_EQ(answer("FUNCTION: GETAUXFILE -1"), "ERROR: no aux file -1 (the job has 2)");
  EXPECT_EQ(answer("FUNCTION: FROBNICATE 1"), "ERROR: unknown request \"FROBNICATE\"");
}

TEST(JobRequestAnswers, PathMappingMatchesWholeComponentsLikeWindows) {
  const auto answer = answers();
  EXPECT_EQ(answer("FUNCTION: GETPATHMAPPEDFILENAME c:/assets\\tex\\wood.png"), "SUCCESS: /mnt/assets/tex/wood.png");
  EXPECT_EQ(answer("FUNCTION: GETPATHMAPPEDFILENAME C:\\AssetsOld\\a.png"), "SUCCESS: /mnt/c/AssetsOld/a.png");
  EXPECT_EQ(answer("FUNCTION: GETPATHMAPPEDFILENAME D:\\x.png"), "SUCCESS: D:\\x.png");
  EXPECT_EQ(answer("FUNCTION: GETPATHMAPPEDFILENAME \xC3\xA9t\xC3\xA9.png"), "SUCCESS: \xC3\xA9t\xC3\xA9.png");
  EXPECT_EQ(map_path("C:\\Assets", {{"C:\\Assets", "/mnt/assets"}}), "/mnt/assets");
}

TEST(CommandText, FieldsSurviveTheNodesSplitting) {
  EXPECT_EQ(command_field("C:/scenes/a.max"), "C:/scenes/a.max");
  EXPECT_EQ(command_field("a,b"), "\"a,b\"");
  EXPECT_EQ(command_field("say \"hi\"\n\\"), "say \\\"hi\\\"\\n\\\\");
  EXPECT_EQ(command_text("StartJob", {"/s/a b.json", ""}), "StartJob,/s/a b.json,");
  for (const char* text : {"C:/scenes/a.max", "a,b", "say \"hi\"\n\\", ""})
    EXPECT_EQ(first_command_field(command_field(text) + ",rest"), text);
  EXPECT_EQ(command_word("\"Render\"Task,1"), "RenderTask");
  EXPECT_EQ(command_word("Render\\,Task,1"), "Render,Task");
  EXPECT_EQ(command_word("Bad\\x,1"), "Bad\\x");  // the node refuses it; shown as written
}

}  // namespace
}  // namespace paravelle::worker
