#pragma once
// Shared by the host tests: a scratch folder for scene files, bitmaps from TheManager, a
// small scene that renders to known pixels, and the host reset to its start-up state.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "host/core.h"
#include "host/maxscript.h"
#include "host/standalone/standalone_interface.h"
#include "scratch_folder.h"

namespace paravelle::host_test {

using ScratchFolder = paravelle::testing::ScratchFolder;

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

  // Writes the scene and loads it; fails the test when the load fails.
  void load(const nlohmann::json& scene, const std::string& name = "scene.json") {
    const std::wstring file = ScratchFolder::wide(folder_.write(name, scene.dump(2)));
    ASSERT_TRUE(host().LoadFromFile(file.c_str(), 14)) << listener_text();
  }
  std::string listener_text() const {
    const std::wstring& text = listener_.text();
    return std::string(text.begin(), text.end());
  }

  ScratchFolder folder_;
  StringStream listener_;
};

}  // namespace paravelle::host_test
