#pragma once
// Shared by the render layer's tests: a farm connection whose far end keeps every line, a job's world (the standalone host at its start-up
// state, scenes in a fresh folder, a job state, the log in a fresh file) and images read
// back through the host's image files.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "daemon/job_state.h"
#include "host/bitmap.h"
#include "host/core.h"
#include "host/platform.h"
#include "host/standalone/image_file.h"
#include "host/standalone/path_config.h"
#include "host/standalone/standalone_interface.h"
#include "support/job_scenes.h"
#include "support/log_capture.h"
#include "support/raw_peer.h"
#include "support/sanitizers.h"
#include "transport/simple_socket.h"

// Sanitizers own the signals the trap needs: machine faults are left out under them.
inline constexpr bool machine_faults_trapped = paravelle::testing::active_sanitizer == nullptr;

namespace paravelle::render::testing {

// What the farm received, in order. Log lines lose their "FUNCTION: STDOUT: MaxParavelle: "
// prefix and warnings read "WARN: ...", so expectations read like the log.
class FarmLines {
 public:
  FarmLines() {
    connection.connect("127.0.0.1", peer.port(), win32::simple_socket::protocol_tcp);
    peer.accept();
  }
  // Everything sent so far: a marker sent after it on the same connection ends the read.
  std::vector<std::string> messages() {
    static const std::string end = "<end of the test's messages>";
    connection.send(end);
    std::vector<std::string> received;
    for (std::string message = peer.read_frame(); message != end; message = peer.read_frame())
      received.push_back(message);
    return received;
  }
  std::vector<std::string> take() {
    std::vector<std::string> lines;
    for (const std::string& message : messages()) lines.push_back(shortened(message));
    return lines;
  }

  paravelle::testing::RawPeer peer;
  win32::simple_socket connection;

 private:
  static std::string shortened(const std::string& message) {
    for (const auto& [prefix, kept] : {std::pair<std::string, std::string>{"FUNCTION: STDOUT: MaxParavelle: ", ""},
                                       {"FUNCTION: WARN: MaxParavelle: ", "WARN: "}}) {
      if (message.starts_with(prefix)) return kept + message.substr(prefix.size());
    }
    return message;
  }
};

struct BitmapDeleter {
  void operator()(Bitmap* bitmap) const { bitmap->DeleteThis(); }
};
using BitmapPtr = std::unique_ptr<Bitmap, BitmapDeleter>;

// A bitmap whose every pixel is `colour`.
inline BitmapPtr filled_bitmap(int width, int height, BMM_Color_fl colour) {
  BitmapInfo info;
  info.SetWidth(width);
  info.SetHeight(height);
  BitmapPtr bitmap(TheManager->Create(&info));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) bitmap->Storage()->PutPixel(x, y, colour);
  return bitmap;
}

struct ReadImage {
  int width = 0, height = 0;
  std::vector<float> rgba;
  float at(int x, int y, int channel) const { return rgba[(std::size_t(y) * width + x) * 4 + channel]; }
};

inline ReadImage read_image(const std::string& native) {
  ReadImage image;
  std::string error;
  EXPECT_TRUE(host::standalone::read_image_file(native, image.rgba, image.width, image.height, error)) << error;
  return image;
}

inline std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace paravelle::render::testing

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
  std::string native(const std::string& name) const { return folder.path() + "/" + name; }
  // A file of the test's folder as the plug-in names it: wide, with backslashes.
  std::wstring host_path(const std::string& name) const {
    std::wstring path;
    for (const char c : native(name)) path += c == '/' ? L'\\' : wchar_t(c);
    return path;
  }
  std::string file(const std::string& name) const { return testing::narrow(host_path(name)); }
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
  daemon::JobState state;
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
