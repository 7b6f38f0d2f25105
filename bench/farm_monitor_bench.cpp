// What a monitor page left open costs the farm: paravelle-farm renders a 2,000-frame job on two nodes
// that answer at once (fake-node) with --monitor, once with a page following it (one client that
// reads /api/job and then the event stream to the end, as the page does) and once with nobody
// watching, in turns. Counters: the farm's wall time and CPU time (its own threads, the monitor's
// included; the nodes are not counted), medians of each side, and their ratios (page / no page).
// The target is a ratio below 1.01.
//
// On a shared machine the farm's wall time varies by more than that from run to run, so the two parts
// of the cost are also measured on their own: what the node threads do for the monitor per frame
// (the board's calls: a frame started, its title and progress, its end, the node idle again), and
// what the monitor's thread does per frame it sends (the record read back from the store, the event
// written), which runs at a lower priority than the farm's threads.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/alternating.h"
#include "worker/frame_store.h"
#include "worker/monitor/job_board.h"
#include "worker/monitor/monitor_api.h"

extern char** environ;

namespace {

constexpr int kFrames = 2000;

std::filesystem::path beside_me(const char* name) {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / name;
}

struct Scratch {
  std::filesystem::path path;
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "farm-monitor-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
    std::ofstream(path / "scene.json") << "{}";
    std::ofstream(path / "job.json") << R"({"format": "paravelle-job", "version": 1, "scene": "scene.json",
      "frames": "1-)" << kFrames << "\"}";
  }
  ~Scratch() { std::filesystem::remove_all(path); }
};

// Reads everything the monitor sends for `target` until it closes the connection.
std::string follow(int port, const std::string& target) {
  std::string answer;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char chunk[65536];
    for (ssize_t count; (count = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
      if (answer.size() < 4096) answer.append(chunk, static_cast<std::size_t>(count));
    }
  }
  ::close(fd);
  return answer;
}

struct FarmRun {
  double wall_ms = 0;
  double cpu_ms = 0;
  bool rendered = false;
};

FarmRun run_farm(const Scratch& scratch, bool page) {
  std::vector<std::string> args = {beside_me("paravelle-farm").string(),
                                   (scratch.path / "job.json").string(),
                                   "--node",
                                   beside_me("fake-node").string(),
                                   "--nodes",
                                   "2",
                                   "--quiet",
                                   "--report",
                                   (scratch.path / "report.json").string(),
                                   "--work-dir",
                                   (scratch.path / "work").string(),
                                   "--monitor",
                                   "0"};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  FarmRun run;
  const auto begin = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  // Everything the farm prints is read (the pipe must not fill); the page connects once it says where.
  std::string printed;
  std::thread page_thread;
  char chunk[4096];
  for (ssize_t count; spawned && (count = ::read(out[0], chunk, sizeof chunk)) > 0;) {
    printed.append(chunk, static_cast<std::size_t>(count));
    const auto line = printed.find("monitor: http://127.0.0.1:");
    if (page && !page_thread.joinable() && line != std::string::npos && printed.find('\n', line) != std::string::npos) {
      const int port = std::atoi(printed.c_str() + line + 26);
      page_thread = std::thread([port] {
        const std::string job = follow(port, "/api/job");
        const auto seq = job.find("\"seq\":");
        follow(port, "/api/events?after=" + std::to_string(seq == std::string::npos ? 0 : std::atoll(job.c_str() + seq + 6)));
      });
    }
  }
  ::close(out[0]);
  int status = -1;
  rusage usage{};
  if (spawned && ::wait4(pid, &status, 0, &usage) == pid) {
    run.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  }
  run.wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
  if (page_thread.joinable()) page_thread.join();
  run.rendered = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

void BM_FarmWithAPageOpen(benchmark::State& state) {
  using paravelle::bench_support::median;
  const Scratch scratch;
  std::vector<double> wall[2], cpu[2];  // [0] no page, [1] a page open
  bool page_first = true;
  for (auto _ : state) {
    for (const bool page : {page_first, !page_first}) {
      const FarmRun run = run_farm(scratch, page);
      if (!run.rendered) state.SkipWithError("the farm did not render every frame");
      wall[page].push_back(run.wall_ms);
      cpu[page].push_back(run.cpu_ms);
    }
    page_first = !page_first;
  }
  state.counters["no_page_ms"] = median(wall[0]);
  state.counters["page_ms"] = median(wall[1]);
  state.counters["wall_ratio"] = median(wall[1]) / median(wall[0]);
  state.counters["no_page_cpu_ms"] = median(cpu[0]);
  state.counters["page_cpu_ms"] = median(cpu[1]);
  state.counters["cpu_ratio"] = median(cpu[1]) / median(cpu[0]);
}
BENCHMARK(BM_FarmWithAPageOpen)->Iterations(31)->Unit(benchmark::kSecond)->UseRealTime();

paravelle::worker::FrameRecord done_record(std::int32_t frame) {
  paravelle::worker::FrameRecord record;
  record.frame = frame;
  record.status = paravelle::worker::FrameStatus::done;
  record.tries = 1;
  record.node = 1;
  record.render_seconds = 1.25;
  record.outputs = {{"/renders/shot/beauty/shot_" + std::to_string(frame) + ".exr", 2100000},
                    {"/renders/shot/jpg/shot_" + std::to_string(frame) + ".jpg", 180000}};
  record.log = "/renders/shot/logs/frame-" + std::to_string(frame) + ".log";
  return record;
}

// The node threads' share: the board's calls for one frame.
void BM_BoardCallsPerFrame(benchmark::State& state) {
  using namespace paravelle;
  std::vector<std::int32_t> frames(kFrames);
  std::vector<worker::FrameRecord> records;  // made by the ledger before the board sees them
  for (int i = 0; i < kFrames; ++i) {
    frames[static_cast<std::size_t>(i)] = i + 1;
    records.push_back(done_record(i + 1));
  }
  std::int32_t frame = 0;
  std::unique_ptr<monitor::JobBoard> board;
  for (auto _ : state) {
    if (frame % kFrames == 0) {
      state.PauseTiming();
      board = std::make_unique<monitor::JobBoard>(worker::ReportHeader{}, frames, std::vector<monitor::FrameState>{},
                                                  [](std::size_t i) { return done_record(static_cast<std::int32_t>(i) + 1); }, 2, true);
      frame = 0;
      state.ResumeTiming();
    }
    ++frame;
    board->frame_started(1, frame, 1);
    board->node_message(1, "FUNCTION: SETTITLE Rendering image - 50.0%");
    board->node_message(1, "FUNCTION: PROGRESS 50");
    board->frame_finished(1, records[static_cast<std::size_t>(frame - 1)], true);
    board->node_state(1, "idle");
  }
  state.counters["ns_per_frame"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BoardCallsPerFrame);

// The monitor thread's share: the events of a batch of finished frames, each record read back from
// a FrameStore as the ledger keeps it.
void BM_EventsPerFrame(benchmark::State& state) {
  using namespace paravelle;
  worker::FrameStore store;
  std::vector<std::int64_t> offsets;
  std::vector<std::int32_t> frames;
  for (int i = 1; i <= kFrames; ++i) {
    offsets.push_back(store.append(done_record(i)));
    frames.push_back(i);
  }
  const monitor::JobBoard board(worker::ReportHeader{}, frames, std::vector<monitor::FrameState>{},
                                [&](std::size_t i) { return store.read(offsets[i]); }, 2, true);
  monitor::ChangeBatch batch;
  for (int i = 0; i < 200; ++i) {
    batch.changes.push_back({static_cast<std::uint64_t>(3 * i + 1), monitor::Change::Kind::frame, static_cast<std::uint64_t>(i)});
    batch.changes.push_back({static_cast<std::uint64_t>(3 * i + 2), monitor::Change::Kind::node, 1});
  }
  batch.changes.push_back({601, monitor::Change::Kind::job, 0});
  for (auto _ : state) benchmark::DoNotOptimize(monitor::MonitorApi::events_text(board, batch));
  state.counters["us_per_frame"] = benchmark::Counter(200.0 * static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EventsPerFrame);

}  // namespace

BENCHMARK_MAIN();
