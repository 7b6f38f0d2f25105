#pragma once
// A job's world for the render layer's tests: the standalone host at its start-up state,
// scenes in a fresh folder, a job state, the log in a fresh file and the farm's end of the
// connection (render_fixture.h).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/core.h"
#include "host/standalone/path_config.h"
#include "host/standalone/standalone_interface.h"
#include "job/job_state.h"
#include "render_fixture.h"
#include "support/job_scenes.h"
#include "support/sanitizers.h"

// ThreadSanitizer owns the signals the trap needs: machine faults are left out under it.
using paravelle::testing::machine_faults_trapped;

namespace paravelle::render {

class JobTest : public ::testing::Test {
 protected:
  void SetUp() override { host().reset(); }
  void TearDown() override {
    host().reset();
    host::standalone::path_configuration().clear();
    gammaMgr.Enable(gamma[0] != 0);
    gammaMgr.SetFileInGamma(gamma[1]);
    gammaMgr.SetFileOutGamma(gamma[2]);
  }
  static host::standalone::StandaloneInterface& host() { return host::standalone::standalone_interface(); }

  // Writes the scene into the test's folder; returns its path as the plug-in takes it.
  std::wstring scene_file(const nlohmann::json& scene, const std::string& name = "scene.json") {
    return paravelle::testing::wide(paravelle::testing::write_scene(folder.path(), name, scene));
  }
  // Every message the farm received, as it arrived.
  std::vector<std::string> farm_messages() { return farm.messages(); }
  // The plug-in's own lines the farm received, without the renderer's progress messages.
  std::vector<std::string> farm_lines() {
    std::vector<std::string> lines = farm.take();
    std::erase_if(lines, [](const std::string& line) { return line.starts_with("FUNCTION: "); });
    return lines;
  }

  paravelle::testing::LogCapture log;
  paravelle::testing::TempFolder folder;
  testing::FarmLines farm;
  win32::simple_socket& connection = farm.connection;
  job::JobState state;
  const float gamma[3] = {static_cast<float>(gammaMgr.IsEnabled()), gammaMgr.GetFileInGamma(),
                          gammaMgr.GetFileOutGamma()};
};

// The text of the std::runtime_error that `call` throws, or "no failure".
template <class Call>
std::string failure_of(Call&& call) {
  try {
    call();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no failure";
}

}  // namespace paravelle::render
