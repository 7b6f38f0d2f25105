// The farm's web monitor through a plain HTTP client: a running job with a frame that hangs and is
// rendered again on a fresh node, and finished reports served by `paravelle-farm monitor`, with the
// rules on files and tokens.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <thread>

#include "support/farm_program.h"
#include "support/temp_folder.h"
#include "worker/job_report.h"

namespace paravelle::worker {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

struct HttpReply {
  int status = 0;
  std::string head;
  std::string body;
};

// One GET on a connection of its own, read until the server closes it, `wanted` arrives (for an
// event stream) or `seconds` pass.
HttpReply http_get(int port, const std::string& target, const std::string& headers = "",
                   const std::string& wanted = "", double seconds = 10) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return {};
  const std::string host = headers.starts_with("Host:") ? "" : "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  const std::string request = "GET " + target + " HTTP/1.1\r\n" + host + "Connection: close\r\n" + headers + "\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (char chunk[65536]; std::chrono::steady_clock::now() < end;) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 100) <= 0) continue;
    const ssize_t count = ::recv(fd, chunk, sizeof chunk, 0);
    if (count <= 0) break;
    answer.append(chunk, static_cast<std::size_t>(count));
    if (!wanted.empty() && answer.find(wanted) != std::string::npos) break;
  }
  ::close(fd);
  const auto split = answer.find("\r\n\r\n");
  if (answer.size() < 12 || split == std::string::npos) return {};
  return {std::atoi(answer.c_str() + 9), answer.substr(0, split), answer.substr(split + 4)};
}

json job_of(int port, const std::string& query = "") { return json::parse(http_get(port, "/api/job" + query).body); }

// paravelle-farm running in the background; the port of its "monitor: http://HOST:PORT/" line.
struct BackgroundFarm {
  NodeProcess process;
  int port = 0;
  explicit BackgroundFarm(const std::vector<std::string>& argv) : process(argv) {
    for (int waited = 0; waited < 3000 && port == 0; ++waited) {
      const std::string out = process.stdout_text();
      const auto line = out.find("monitor: http://127.0.0.1:");
      if (line != std::string::npos && out.find("/\n", line) != std::string::npos) port = std::atoi(out.c_str() + line + 26);
      if (port == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
};

template <typename Check>
json wait_for(int port, Check check) {
  json job;
  for (int i = 0; i < 300 && !check(job = job_of(port)); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return job;
}

TEST(FarmMonitor, ARunningJobWhileAFrameHangsAndAfterItWasRenderedAgain) {
  paravelle::testing::TempFolder folder;
  const std::string dir = folder.path();
  std::ofstream(dir + "/scene.json") << "{}";
  std::ofstream(dir + "/job.json") << R"({"format": "paravelle-job", "version": 1, "scene": "scene.json", "frames": "1-4"})";
  BackgroundFarm farm({paravelle::testing::built_program("paravelle-farm"), dir + "/job.json", "--node",
                       paravelle::testing::built_program("fake-node"), "--node-arg=--hang-frame", "--node-arg=2",
                       "--node-arg=--hang-once", "--node-arg=" + dir + "/hung", "--stall-timeout", "2", "--report",
                       dir + "/report.json", "--monitor", "0", "--monitor-linger", "60", "--quiet", "--keep-work"});
  ASSERT_NE(farm.port, 0) << farm.process.stdout_text() << farm.process.stderr_text();

  // Frame 2 hangs on node 1, which has told its progress; frame 1 is done, 3 and 4 wait.
  json job = wait_for(farm.port, [](const json& job) { return job["nodes"][0]["progress"] == 50.0; });
  EXPECT_EQ(job["running"], true);
  EXPECT_EQ(job["nodes"][0]["state"], "rendering");
  EXPECT_EQ(job["nodes"][0]["progress"], 50.0);
  EXPECT_EQ(job["nodes"][0]["title"], "Rendering image - 50.0%");
  std::vector<std::string> statuses;
  for (const auto& entry : job["frames"]) statuses.push_back(entry["status"]);
  EXPECT_EQ(statuses, (std::vector<std::string>{"done", "rendering", "waiting", "waiting"}));
  EXPECT_EQ(job["totals"]["done"], 1);
  EXPECT_EQ(job["totals"]["left"], 3);

  // From the document's change on: frame 2 hung, was killed with its node, then rendered on a new one.
  const HttpReply events = http_get(farm.port, "/api/events?after=" + job["seq"].dump(), "",
                                    R"("frame":2,"index":1,"status":"done")", 30);
  EXPECT_THAT(events.head, HasSubstr("Content-Type: text/event-stream"));
  const auto done = events.body.find(R"(event: frame)" "\n" R"(data: {"frame":2,"index":1,"status":"done")");
  ASSERT_NE(done, std::string::npos) << events.body;
  EXPECT_THAT(events.body.substr(0, done), HasSubstr("(stalled); killing its process group and starting a fresh node"));
  const json entry = json::parse(events.body.substr(done + 19, events.body.find('\n', done + 19) - done - 19));
  EXPECT_EQ(entry["tries"], 2);
  EXPECT_EQ(entry["node"], 1);
  EXPECT_EQ(entry["outputs"].size(), 1u);

  job = wait_for(farm.port, [](const json& job) { return job["running"] == false; });
  EXPECT_EQ(job["totals"]["done"], 4);
  EXPECT_EQ(job["totals"]["node_starts"], 2);
  EXPECT_EQ(job["estimate_seconds"], nullptr);
  EXPECT_EQ(job["nodes"][0]["starts"], 2);

  const HttpReply log = http_get(farm.port, "/api/frames/2/log");
  EXPECT_EQ(log.status, 200);
  EXPECT_THAT(log.head, HasSubstr("Content-Type: text/plain; charset=utf-8"));
  EXPECT_THAT(log.body, HasSubstr("== frame 2, try 2, node 1 (start 2"));
  EXPECT_THAT(log.body, HasSubstr("farm: RenderTask,2\n"));
  const HttpReply tail = http_get(farm.port, "/api/frames/2/log?tail=200");
  EXPECT_LE(tail.body.size(), 200u);
  EXPECT_EQ(log.body.substr(log.body.size() - tail.body.size()), tail.body);

  const HttpReply thumbnail = http_get(farm.port, "/api/frames/3/thumbnail");
  EXPECT_EQ(thumbnail.status, 200);
  EXPECT_THAT(thumbnail.head, HasSubstr("Content-Type: image/jpeg"));
  EXPECT_THAT(thumbnail.body, StartsWith("\xFF\xD8\xFF"));

  // Without a token the monitor answers to this machine's names only.
  EXPECT_EQ(http_get(farm.port, "/api/job", "Host: evil.example\r\n").status, 403);
  EXPECT_EQ(farm.process.terminate(10000), 0);  // Ctrl-C or SIGTERM ends the time on show
}

// A report as `collect` merges it: frame 1 done with a crash of an earlier try, frame 2 whose log
// was replaced by a link out of its folder, frame 3 listing an output through "..".
struct FinishedReports {
  paravelle::testing::TempFolder folder;
  std::string dir = folder.path();
  FinishedReports() {
    std::filesystem::create_directories(dir + "/logs");
    std::filesystem::create_directories(dir + "/out/sub");
    std::ofstream(dir + "/secret.txt") << "not the job's\n";
    std::ofstream(dir + "/logs/frame-1.log") << "== frame 1, try 1\n";
    std::ofstream(dir + "/frame-1-crash.txt") << "ERROR: Trapped SEH Exception\n";
    std::ofstream(dir + "/out/one.png") << "P6\n2 2\n255\n0123456789ab";
    std::filesystem::create_symlink(dir + "/secret.txt", dir + "/logs/frame-2.log");
    JobReport report;
    report.job_file = dir + "/job.json";
    report.elements = {{"1-3", dir + "/report-1.json", "hostA", 1.0, 2.0}};
    report.frames = {{1, FrameStatus::done, 2, 1, 0.5, {{dir + "/out/one.png", 23}}, {dir + "/frame-1-crash.txt"}, "", dir + "/logs/frame-1.log"},
                     {2, FrameStatus::failed, 3, 1, 0.1, {}, {}, "stalled", dir + "/logs/frame-2.log"},
                     {3, FrameStatus::done, 1, 1, 0.2, {{dir + "/out/sub/../../secret.txt", 15}}, {}, "", ""}};
    write_report(report, dir + "/merged.json");
    report.frames.resize(1);
    write_report(report, dir + "/other.json");
  }
};

TEST(FarmMonitor, FinishedReportsServeOnlyTheirOwnFilesAndOnlyWithTheToken) {
  FinishedReports reports;
  BackgroundFarm farm({paravelle::testing::built_program("paravelle-farm"), "monitor", reports.dir + "/merged.json",
                       reports.dir + "/other.json", "--token", "s3cret"});
  ASSERT_NE(farm.port, 0) << farm.process.stdout_text() << farm.process.stderr_text();
  struct Case {
    std::string target;
    std::string headers;
    int status;
    std::string body;
  };
  for (const Case& row : std::vector<Case>{
           {"/api/frames/1/log?token=s3cret", "", 200, "== frame 1, try 1\n"},
           {"/api/frames/1/log", "Authorization: Bearer s3cret\r\n", 200, "== frame 1, try 1\n"},
           {"/api/frames/1/crash/0?token=s3cret", "", 200, "ERROR: Trapped SEH Exception\n"},
           {"/api/frames/1/outputs/0?token=s3cret", "", 200, "P6\n2 2\n255\n0123456789ab"},
           {"/api/frames/1/log", "", 401, ""},
           {"/api/frames/1/log?token=s3cre", "", 401, ""},
           {"/api/job", "Authorization: Bearer wrong\r\n", 401, ""},
           {"/api/frames/2/log?token=s3cret", "", 404, ""},       // a link out of the logs folder
           {"/api/frames/3/outputs/0?token=s3cret", "", 404, ""},  // listed through ".."
           {"/api/frames/1/crash/1?token=s3cret", "", 404, ""},
           {"/api/frames/4/log?token=s3cret", "", 404, ""},
           {"/api/frames/1/log/../../../../secret.txt?token=s3cret", "", 404, ""},
           {"/../secret.txt?token=s3cret", "", 404, ""},
           {"/%2e%2e/%2e%2e" + reports.dir + "/secret.txt?token=s3cret", "", 404, ""},
           {"/api/frames/1/%2e%2e%2f%2e%2e%2fsecret.txt?token=s3cret", "", 404, ""},
           {reports.dir + "/secret.txt?token=s3cret", "", 404, ""},
           {"/" + reports.dir + "/secret.txt?token=s3cret", "", 404, ""},
           {"/api/job?job=3&token=s3cret", "", 404, ""},
       }) {
    const HttpReply reply = http_get(farm.port, row.target, row.headers);
    EXPECT_EQ(reply.status, row.status) << row.target;
    if (!row.body.empty()) {
      EXPECT_EQ(reply.body, row.body) << row.target;
    }
    EXPECT_THAT(reply.body, Not(HasSubstr("not the job's"))) << row.target;
  }
  const json merged = job_of(farm.port, "?token=s3cret");
  EXPECT_EQ(merged["running"], false);
  EXPECT_EQ(merged["elements"][0]["host"], "hostA");
  EXPECT_EQ(merged["totals"]["tries"], 6);
  EXPECT_EQ(merged["frames"][1]["status"], "failed");
  EXPECT_EQ(job_of(farm.port, "?job=2&token=s3cret")["frames"].size(), 1u);
  EXPECT_THAT(http_get(farm.port, "/?token=s3cret").body, HasSubstr("<script src=\"monitor.js\""));
  EXPECT_EQ(farm.process.terminate(10000), 0);
}

TEST(FarmMonitor, AnAddressOtherMachinesReachNeedsAToken) {
  FinishedReports reports;
  const auto result = paravelle::testing::run_program(
      {paravelle::testing::built_program("paravelle-farm"), "monitor", reports.dir + "/other.json", "--host", "0.0.0.0"});
  EXPECT_EQ(result.code, 2);
  EXPECT_THAT(result.err, HasSubstr("0.0.0.0:0: a monitor that other machines can reach needs a token"));
}

}  // namespace
}  // namespace paravelle::worker
