#include "support/job_scenes.h"

#include <fstream>
#include <stdexcept>

namespace paravelle::testing {

nlohmann::json small_job_scene() {
  return nlohmann::json::parse(R"({
    "format": "paravelle-scene", "version": 1,
    "render": {"width": 32, "height": 24, "samples_per_axis": 1, "threads": 2, "tile_size": 8},
    "environment": {"background": [0, 0, 0], "background_alpha": 0, "ambient": [1, 1, 1]},
    "nodes": [
      {"name": "Cam", "type": "camera", "fov": 45, "position": [0, -10, 0], "target": [0, 0, 0]},
      {"name": "Ball", "type": "sphere", "radius": 2, "colour": [0.8, 0.2, 0.1], "position": [0, 0, 0]}
    ],
    "viewports": [{"camera": "Cam"}, {"position": [0, -10, 0], "target": [0, 0, 0], "fov": 45}]
  })");
}

std::string write_scene(const std::string& folder, const std::string& name, const nlohmann::json& scene) {
  const std::string path = folder + "/" + name;
  std::ofstream file(path, std::ios::binary);
  file << scene.dump(2);
  if (!file) throw std::runtime_error("cannot write the scene " + path);
  return path;
}

std::wstring wide(const std::string& native) { return std::wstring(native.begin(), native.end()); }

}  // namespace paravelle::testing
