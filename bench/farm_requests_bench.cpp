// What a script pays for asking the farm: TaskmereUtil.GetJobInfoEntry called in a
// script loop inside a live daemon session, the same request from C++ without the
// interpreter, and a bare socket ping-pong of the same frame sizes as the floor.

#include <benchmark/benchmark.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "daemon/session.h"
#include "host/maxscript_runtime.h"
#include "host/platform.h"
#include "job/farm_connection.h"
#include "script/farm_requests.h"
#include "support/loopback.h"
#include "transport/messages.h"

namespace {

using namespace paravelle::bench_support;

constexpr int calls_per_iteration = 10000;
constexpr std::size_t request_size = sizeof("FUNCTION: GETJOBINFOENTRY Name") - 1;
constexpr std::size_t answer_size = sizeof("SUCCESS: v") - 1;
constexpr int idle_timeout_ms = 5;

// The worker's side: token, handshake, then "SUCCESS: v" for every request.
void serve_session(int listener, std::promise<int> accepted) {
  const int fd = ::accept(listener, nullptr, nullptr);
  accepted.set_value(fd);
  std::string token;
  read_frame(fd, token);
  const std::string word = frame("TaskmereStartup");
  write_all(fd, word.data(), word.size());
  std::string handshake_answer;
  read_frame(fd, handshake_answer);
  answer_frames_on(fd, answer_size);
  ::close(fd);
}

// A daemon session on its own thread; work posted to it runs at its next idle moment.
class LiveSession {
 public:
  LiveSession() : listener_(listen_on_loopback(port_)) {
    std::promise<int> accepted;
    std::future<int> peer_connection = accepted.get_future();
    peer_ = std::thread(serve_session, listener_, std::move(accepted));
    paravelle::set_farm_timeout_ms(idle_timeout_ms);
    std::promise<std::uint32_t> thread_id;
    std::future<std::uint32_t> session_thread_id = thread_id.get_future();
    session_ = std::async(std::launch::async, [port = port_, &thread_id] {
      thread_id.set_value(paravelle::host::current_thread_id());
      return paravelle::daemon::RunParavelleDaemon(port, L"bench");
    });
    session_thread_ = session_thread_id.get();
    peer_connection_ = peer_connection.get();
  }
  ~LiveSession() {
    // The worker leaving ends the session, as it does on a farm.
    ::shutdown(peer_connection_, SHUT_RDWR);
    session_.wait();
    peer_.join();
    ::close(listener_);
    paravelle::set_farm_timeout_ms(paravelle::kDefaultFarmTimeoutMs);
  }

  template <class Work>
  void run(Work work) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    paravelle::host::post_message_to(session_thread_, [done, work] {
      paravelle::set_farm_timeout_ms(paravelle::kDefaultFarmTimeoutMs);
      work();
      paravelle::set_farm_timeout_ms(idle_timeout_ms);
      done->set_value();
    });
    finished.wait();
  }

 private:
  std::uint16_t port_ = 0;
  int listener_;
  std::thread peer_;
  int peer_connection_ = -1;
  std::future<bool> session_;
  std::uint32_t session_thread_ = 0;
};

void BM_ScriptGetJobInfoEntry(benchmark::State& state) {
  LiveSession session;
  const std::wstring script =
      L"for i = 1 to " + std::to_wstring(calls_per_iteration) + L" do TaskmereUtil.GetJobInfoEntry \"Name\"";
  for (auto _ : state) {
    session.run([&] {
      init_thread_locals();
      paravelle::host::script::evaluate_text(script);
    });
  }
  state.SetItemsProcessed(state.iterations() * calls_per_iteration);
  state.SetLabel("exchanges");
}
BENCHMARK(BM_ScriptGetJobInfoEntry)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The same exchanges without the interpreter and the publishing layer.
void BM_DirectGetJobInfoEntry(benchmark::State& state) {
  LiveSession session;
  for (auto _ : state) {
    session.run([] {
      for (int i = 0; i < calls_per_iteration; ++i) {
        benchmark::DoNotOptimize(paravelle::script::GetJobInfoEntry(paravelle::job::farm_connection, L"Name"));
      }
    });
  }
  state.SetItemsProcessed(state.iterations() * calls_per_iteration);
  state.SetLabel("exchanges");
}
BENCHMARK(BM_DirectGetJobInfoEntry)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The floor: frames of the same sizes between two plain sockets.
void BM_BareSocketPingPong(benchmark::State& state) {
  std::uint16_t port;
  const int listener = listen_on_loopback(port);
  std::thread peer(answer_frames, listener, answer_size);
  {
    PingPongClient client(port, request_size);
    for (auto _ : state) {
      for (int i = 0; i < calls_per_iteration; ++i) client.exchange();
    }
  }
  peer.join();
  ::close(listener);
  state.SetItemsProcessed(state.iterations() * calls_per_iteration);
  state.SetLabel("exchanges");
}
BENCHMARK(BM_BareSocketPingPong)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
