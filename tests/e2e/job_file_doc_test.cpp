// docs/job-file.md as a newcomer uses it: every command it shows and every JSON example it gives
// runs here, taken from the page as it stands, so the page cannot drift from the program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "support/farm_program.h"
#include "support/temp_folder.h"
#include "worker/job_report.h"

namespace paravelle {
namespace {

struct CodeBlock {
  std::string language;
  std::string text;
};

std::vector<CodeBlock> code_blocks(const std::string& markdown) {
  std::vector<CodeBlock> blocks;
  std::istringstream lines(markdown);
  bool inside = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("```")) {
      if (!inside) blocks.push_back({line.substr(3), ""});
      inside = !inside;
    } else if (inside) {
      blocks.back().text += line + "\n";
    }
  }
  return blocks;
}

TEST(JobFileDoc, EveryCommandAndJsonExampleOfThePageRunsAsWritten) {
  const char* source = std::getenv("PARAVELLE_SOURCE_DIR");
  if (!source) GTEST_SKIP() << "PARAVELLE_SOURCE_DIR names the source tree (ctest sets it)";
  const std::string page = testing::read_file(std::string(source) + "/docs/job-file.md");
  // A copy of the tree's layout where the commands and the job files expect it.
  testing::TempFolder folder;
  const std::string tree = folder.path();
  for (const char* name : {"examples", "scenes", "scripts"}) {
    const std::string target = std::string(source) + (name == std::string("examples") ? "/" : "/examples/") + name;
    std::filesystem::create_directory_symlink(target, tree + "/" + name);
  }
  std::filesystem::create_directory(tree + "/jobs");
  const std::string bin = testing::built_program("");
  const std::vector<std::pair<std::string, std::string>> path = {{"PATH", bin + ":/usr/bin:/bin"}};
  int commands = 0, jobs = 0, reports = 0;
  for (const CodeBlock& block : code_blocks(page)) {
    if (block.language == "sh") {
      const auto result = testing::run_program({"/bin/bash", "-euc", "cd " + tree + "\n" + block.text}, path);
      EXPECT_EQ(result.code, 0) << block.text << result.out << result.err;
      ++commands;
      continue;
    }
    if (block.language != "json") continue;
    // A fragment of a job file is run inside a one-frame job of the example scene.
    nlohmann::json example = nlohmann::json::parse(block.text.starts_with("{") ? block.text : "{" + block.text + "}");
    const std::string file = tree + "/jobs/example-" + std::to_string(jobs + reports) + ".json";
    if (example.value("format", "") == worker::kReportFormat) {
      std::ofstream(file) << block.text;
      EXPECT_NO_THROW(worker::read_report(file)) << block.text;
      ++reports;
      continue;
    }
    if (!example.contains("format")) {
      example.update({{"format", "paravelle-job"},
                      {"version", 1},
                      {"scene", "../scenes/spinning-spheres.json"},
                      {"camera", "ShotCam"},
                      {"frames", {1}}});
    }
    std::ofstream(file) << example.dump();
    const auto result = testing::run_program(
        {bin + "paravelle-farm", file, "--nodes", "2", "--quiet", "--report", file + ".report.json"}, path);
    EXPECT_EQ(result.code, 0) << block.text << result.out << result.err;
    ++jobs;
  }
  EXPECT_EQ(commands, 1) << "the page's runnable commands are one sh block";
  EXPECT_GE(jobs, 2);
  EXPECT_EQ(reports, 1);
  // The options table lists every option of --help.
  const std::string help = testing::run_program({bin + "paravelle-farm", "--help"}).out;
  std::istringstream lines(help.substr(help.find("Options:"), help.find("Subcommands:") - help.find("Options:")));
  for (std::string line; std::getline(lines, line);) {
    const auto start = line.find("--");
    if (start == std::string::npos || line.find_first_not_of(" -h,") < start) continue;
    const std::string option = line.substr(start, line.find(' ', start) - start);
    EXPECT_NE(page.find("| `" + option), std::string::npos) << option << " is missing from the options table";
  }
}

}  // namespace
}  // namespace paravelle
