#pragma once
// The world of a job for the render layer's tests: the standalone host back at its
// start-up state, scene files in a fresh folder, a job state, the plug-in's log in a
// fresh file, and a farm connection whose far end the test reads.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/job_state.h"
#include "host/core.h"
#include "host/standalone/path_config.h"
#include "host/standalone/standalone_interface.h"
#include "support/job_scenes.h"
#include "support/log_capture.h"
#include "support/raw_peer.h"
#include "transport/simple_socket.h"

// Machine faults and ThreadSanitizer do not mix (it owns the signals the trap needs).
#if defined(__SANITIZE_THREAD__)
#define PARAVELLE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PARAVELLE_THREAD_SANITIZER 1
#endif
#endif
#ifdef PARAVELLE_THREAD_SANITIZER
inline constexpr bool machine_faults_trapped = false;
#define SKIP_MACHINE_FAULTS_UNDER_TSAN() GTEST_SKIP() << "machine faults are not trapped under ThreadSanitizer"
#else
inline constexpr bool machine_faults_trapped = true;
#define SKIP_MACHINE_FAULTS_UNDER_TSAN() static_cast<void>(0)
#endif

namespace paravelle::render {

class JobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host().reset();
    saved_gamma = {gammaMgr.IsEnabled(), gammaMgr.GetFileInGamma(), gammaMgr.GetFileOutGamma()};
    connection.connect("127.0.0.1", peer.port(), win32::simple_socket::protocol_tcp);
    peer.accept();
  }
  void TearDown() override {
    host().reset();
    host::standalone::path_configuration().clear();
    gammaMgr.Enable(saved_gamma.enabled);
    gammaMgr.SetFileInGamma(saved_gamma.in);
    gammaMgr.SetFileOutGamma(saved_gamma.out);
  }

  static host::standalone::StandaloneInterface& host() { return host::standalone::standalone_interface(); }

  // Writes the scene into the test's folder; returns its path as the plug-in takes it.
  std::wstring scene_file(const nlohmann::json& scene, const std::string& name = "scene.json") {
    return testing::wide(testing::write_scene(folder.path(), name, scene));
  }

  // Every message the farm has received so far, in order.
  std::vector<std::string> farm_messages() {
    std::vector<std::string> messages;
    while (!peer.nothing_within(20)) messages.push_back(peer.read_frame());
    return messages;
  }
  // The plug-in's own lines among them (LogToFarm), without their prefix.
  std::vector<std::string> farm_lines() {
    static const std::string prefix = "FUNCTION: STDOUT: MaxParavelle: ";
    std::vector<std::string> lines;
    for (const std::string& message : farm_messages())
      if (message.rfind(prefix, 0) == 0) lines.push_back(message.substr(prefix.size()));
    return lines;
  }
  // The log lines from the first one equal to `first` on (all of them when it is absent).
  std::vector<std::string> log_from(const std::string& first) const {
    std::vector<std::string> lines = log.lines();
    const auto start = std::find(lines.begin(), lines.end(), first);
    return start == lines.end() ? lines : std::vector<std::string>(start, lines.end());
  }

  testing::LogCapture log;
  testing::TempFolder folder;
  testing::RawPeer peer;
  win32::simple_socket connection;
  daemon::JobState state;

 private:
  struct {
    BOOL enabled;
    float in, out;
  } saved_gamma{};
};

}  // namespace paravelle::render
