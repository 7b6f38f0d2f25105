// The farm connection's costs: a request/reply exchange next to a bare socket ping-pong
// of the same sizes, command dispatch throughput, and what a silent worker costs the node.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <future>
#include <thread>

#include "daemon/dispatcher.h"
#include "daemon/session.h"
#include "diag/log_file.h"
#include "transport/messages.h"
#include "worker/farm_worker.h"

namespace {

using paravelle::win32::simple_socket;

int listen_on_loopback(std::uint16_t& port) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener, 1);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return listener;
}

bool read_all(int fd, char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Answers every frame with a frame of `answer_size` bytes starting "SUCCESS: ".
void answer_frames(int listener, std::size_t answer_size) {
  const int fd = ::accept(listener, nullptr, nullptr);
  std::string answer = "SUCCESS: " + std::string(answer_size > 9 ? answer_size - 9 : 0, 'v');
  const std::uint32_t header = htonl(static_cast<std::uint32_t>(answer.size()));
  answer.insert(0, reinterpret_cast<const char*>(&header), 4);
  std::string request(100000, '\0');
  for (;;) {
    std::uint32_t length;
    if (!read_all(fd, reinterpret_cast<char*>(&length), 4)) break;
    if (!read_all(fd, request.data(), ntohl(length))) break;
    write_all(fd, answer.data(), answer.size());
  }
  ::close(fd);
}

// The baseline: the same frames between two plain sockets, nothing else.
void BM_BareSocketPingPong(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::uint16_t port;
  const int listener = listen_on_loopback(port);
  std::thread peer(answer_frames, listener, size);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  std::string request(size, 'r');
  const std::uint32_t header = htonl(static_cast<std::uint32_t>(size));
  request.insert(0, reinterpret_cast<const char*>(&header), 4);
  std::string answer(100000, '\0');
  for (auto _ : state) {
    write_all(fd, request.data(), request.size());
    std::uint32_t length;
    read_all(fd, reinterpret_cast<char*>(&length), 4);
    read_all(fd, answer.data(), ntohl(length));
  }
  ::close(fd);
  peer.join();
  ::close(listener);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareSocketPingPong)->Arg(64)->Arg(4096)->Arg(60000)->UseRealTime();

// A script's farm request: drain, encode, send, receive, decode, check the answer.
void BM_RequestExchange(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::uint16_t port;
  const int listener = listen_on_loopback(port);
  std::thread peer(answer_frames, listener, size);
  {
    simple_socket socket;
    socket.connect("127.0.0.1", port, simple_socket::protocol_tcp);
    const std::wstring request(size, L'r');
    for (auto _ : state) benchmark::DoNotOptimize(paravelle::exchange_request(socket, request));
  }
  peer.join();
  ::close(listener);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RequestExchange)->Arg(64)->Arg(4096)->Arg(60000)->UseRealTime();

// Settings commands as the daemon dispatches them, log entries written and flushed.
void BM_DispatchSettingsCommands(benchmark::State& state) {
  const auto log_path = std::filesystem::temp_directory_path() / "paravelle-bench.log";
  paravelle::diag::log_file.close();
  paravelle::diag::log_file.clear();
  paravelle::diag::log_file.open(log_path);
  std::uint16_t port;
  const int listener = listen_on_loopback(port);
  simple_socket socket;
  socket.connect("127.0.0.1", port, simple_socket::protocol_tcp);
  const int peer = ::accept(listener, nullptr, nullptr);
  paravelle::daemon::JobState job;
  const std::wstring commands[] = {L"GammaCorrection,2.2,2.2", L"FailOnBlackFrames,50,0.1",
                                   L"OutputImageFilename,C:/out/beauty.exr", L"TempFolder,C:/farm/temp",
                                   L"IgnoreMissingXREFs"};
  std::size_t i = 0;
  for (auto _ : state) paravelle::daemon::DispatchCommand(job, commands[i++ % 5], socket);
  state.SetItemsProcessed(state.iterations());
  ::close(peer);
  ::close(listener);
  paravelle::diag::log_file.close();
  std::filesystem::remove(log_path);
}
BENCHMARK(BM_DispatchSettingsCommands);

double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A daemon whose worker says nothing: the process's CPU time over one second of silence.
void BM_SilentWorkerCpu(benchmark::State& state) {
  for (auto _ : state) {
    paravelle::worker::FarmWorker worker;
    paravelle::daemon::JobState job;
    simple_socket socket;
    auto session = std::async(std::launch::async, [&] {
      return paravelle::daemon::RunParavelleDaemon(job, socket, worker.port(), L"t");
    });
    worker.open_session(5000, "t");
    const double before = cpu_seconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    state.counters["cpu_ms_per_silent_second"] = (cpu_seconds() - before) * 1000.0;
    worker.close();
    session.wait();
  }
}
BENCHMARK(BM_SilentWorkerCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
