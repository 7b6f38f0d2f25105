// Scene files as an author might write them, or as a damaged disk might hand them over:
// each is read or refused with an error naming the file, never anything else. A scene
// that is read stays within the sizes the host allows, becomes the host's objects, and
// its scene and cameras go through the renderer for a few pixels (which may refuse what
// it cannot render, with its own error).

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "host/standalone/camera_view.h"
#include "host/standalone/loaded_scene.h"
#include "host/standalone/scene_loader.h"

namespace {

using namespace paravelle::host::standalone;

class NoProgress : public raytrace::Progress {
 public:
  void title(const std::wstring&) override {}
  bool tile_done(int, int) override { return true; }
};

std::size_t count_nodes(const std::vector<NodeSpec>& nodes) {
  std::size_t count = nodes.size();
  for (const NodeSpec& node : nodes) count += count_nodes(node.children);
  return count;
}

// The top-left 4 x 3 pixels of the scene's image through one view.
void render_corner(const SceneSpec& spec, const raytrace::Scene& scene, const CameraView& view) {
  std::vector<float> rgba(4 * 3 * 4);
  raytrace::Target target;
  target.width = std::min(4, spec.render.width);
  target.height = std::min(3, spec.render.height);
  target.full_width = spec.render.width;
  target.full_height = spec.render.height;
  target.pixel_aspect = spec.render.pixel_aspect;
  target.rgba = rgba.data();
  raytrace::Options options;
  options.samples_per_axis = 1;
  options.threads = 1;
  options.tile_size = 4;
  NoProgress progress;
  try {
    raytrace::render(scene, engine_camera(view), target, options, progress);
  } catch (const std::invalid_argument&) {
    // a camera or an object the renderer cannot take: the frame fails with that text
  }
}

void render_views(const SceneSpec& spec, double frame) {
  const raytrace::Scene scene = engine_scene_at(spec, frame);
  for (const ViewportSpec& viewport : spec.viewports) {
    if (!viewport.camera_name.empty()) continue;
    CameraView view;
    view.position = viewport.position;
    view.target = viewport.target;
    view.fov_degrees = viewport.fov_degrees;
    render_corner(spec, scene, view);
  }
  for (const NodeSpec& node : spec.nodes)
    if (node.kind == NodeSpec::Kind::camera) render_corner(spec, scene, camera_view_at(node.camera, frame));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  SceneSpec spec;
  try {
    spec = parse_scene_text(text, "/scenes/fuzz.json");
  } catch (const std::runtime_error& error) {
    FUZZ_CHECK(std::string(error.what()).starts_with("/scenes/fuzz.json: "));
    return 0;
  }
  FUZZ_CHECK(std::int64_t{spec.render.width} * spec.render.height <= std::int64_t{1} << 26);
  FUZZ_CHECK(count_nodes(spec.nodes) <= 100000);
  FUZZ_CHECK(spec.elements.size() <= 16);
  FUZZ_CHECK(!spec.viewports.empty());
  const LoadedScene loaded(spec);
  for (int index = 0; index < loaded.viewport_count(); ++index) FUZZ_CHECK(loaded.viewport(index) != nullptr);
  render_views(spec, 0.0);
  render_views(spec, 7.5);
  return 0;
}
