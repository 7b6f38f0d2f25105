#pragma once
// Shared by the host tests: a scratch folder, bitmaps from TheManager, a small scene that
// renders to known pixels, the host reset to its start-up state, a cap on file sizes that
// fails writes halfway as a full disk does, and scripts evaluated to their printed forms.

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "host/core.h"
#include "host/maxscript.h"
#include "host/maxscript_runtime.h"
#include "host/standalone/standalone_interface.h"
#include "support/temp_folder.h"

namespace paravelle::host_test {

// A fresh folder for one test; names in it are native, `wide` gives them as the host takes them.
class Folder : public paravelle::testing::TempFolder {
 public:
  std::string native(const std::string& name) const { return path() + "/" + name; }
  static std::wstring wide(const std::string& native) { return std::wstring(native.begin(), native.end()); }
  // Writes the file, creating its folders; returns its native path.
  std::string write(const std::string& name, const std::string& content) const {
    std::filesystem::create_directories(std::filesystem::path(native(name)).parent_path());
    std::ofstream(native(name), std::ios::binary) << content;
    return native(name);
  }
  std::string read(const std::string& name) const { return paravelle::testing::read_file(native(name)); }
  // Names in the folder, hidden ones included, so left-over temporary files show.
  std::set<std::string> names() const {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(path()))
      found.insert(entry.path().filename().string());
    return found;
  }
};

// Caps the size of files this process may write (root is bound by it too); the signal is
// ignored so that the write returns EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

struct BitmapDeleter {
  void operator()(Bitmap* bitmap) const { bitmap->DeleteThis(); }
};
using BitmapPtr = std::unique_ptr<Bitmap, BitmapDeleter>;

inline BitmapPtr make_bitmap(int width, int height) {
  BitmapInfo info;
  info.SetWidth(width);
  info.SetHeight(height);
  return BitmapPtr(TheManager->Create(&info));
}

// 64x48, a camera at (0,-10,0) looking at a sphere of radius 1 at the origin; ambient
// light 1 and no lamps, so a lit pixel is exactly the sphere's colour.
inline nlohmann::json small_scene() {
  return nlohmann::json::parse(R"({
    "format": "paravelle-scene", "version": 1,
    "render": {"width": 64, "height": 48, "samples_per_axis": 1, "threads": 2, "tile_size": 16},
    "environment": {"background": [0.1, 0.2, 0.3], "background_alpha": 0, "ambient": [1, 1, 1]},
    "nodes": [
      {"name": "Camera01", "type": "camera", "fov": 45, "position": [0, -10, 0], "target": [0, 0, 0]},
      {"name": "Ball", "type": "sphere", "radius": 1, "colour": [0.2, 0.4, 0.6], "position": [0, 0, 0]}
    ],
    "viewports": [{"camera": "Camera01"}, {"position": [0, -10, 0], "target": [0, 0, 0], "fov": 45}]
  })");
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host().reset();
    capture_listener(&listener_);
  }
  void TearDown() override {
    capture_listener(nullptr);
    host().reset();
  }
  static host::standalone::StandaloneInterface& host() { return host::standalone::standalone_interface(); }
  // Writes the scene; returns its path as the host takes it.
  std::wstring write(const nlohmann::json& scene, const std::string& name = "scene.json") {
    return Folder::wide(folder_.write(name, scene.dump(2)));
  }
  // Writes the scene and loads it; fails the test when the load fails.
  void load(const nlohmann::json& scene, const std::string& name = "scene.json") {
    ASSERT_TRUE(host().LoadFromFile(write(scene, name).c_str(), 14)) << listener_text();
  }
  std::string listener_text() const {
    const std::wstring& text = listener_.text();
    return std::string(text.begin(), text.end());
  }

  Folder folder_;
  StringStream listener_;
};

// The printed form of a script's value, or of the error it raises.
inline std::wstring eval(const std::wstring& text) { return host::script::printed(host::script::evaluate_text(text)); }
inline std::wstring error_of(const std::wstring& text) {
  try {
    host::script::evaluate_text(text);
  } catch (const MAXScriptException& error) {
    return host::script::printed(error);
  }
  return L"";
}
// Each script against what it gives: the printed value, or the printed error when the
// expected text starts with "-- ".
inline void expect_results(std::initializer_list<std::pair<std::wstring, std::wstring>> cases) {
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(expected.starts_with(L"-- ") ? error_of(text) : eval(text), expected) << text;
}

// Captures the listener for the lifetime of the object.
class ListenerCapture {
 public:
  ListenerCapture() { capture_listener(&stream_); }
  ~ListenerCapture() { capture_listener(nullptr); }
  const std::wstring& text() const { return stream_.text(); }

 private:
  StringStream stream_;
};

}  // namespace paravelle::host_test
