#include "host/standalone/raytrace/render.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "host/standalone/raytrace/camera_rays.h"
#include "host/standalone/raytrace/number_text.h"
#include "host/standalone/raytrace/pixel_sampler.h"
#include "host/standalone/raytrace/tile_pool.h"

namespace paravelle::host::standalone::raytrace {
namespace {

constexpr int kMaxSamplesPerAxis = 64;

std::string size_text(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

void check_options(const Options& options) {
  if (options.samples_per_axis < 1 || options.samples_per_axis > kMaxSamplesPerAxis)
    throw std::invalid_argument("Samples per axis is " + std::to_string(options.samples_per_axis) +
                                "; it must lie between 1 and " + std::to_string(kMaxSamplesPerAxis));
  if (options.threads < 0)
    throw std::invalid_argument("Thread count is " + std::to_string(options.threads) +
                                "; it must be 0 (one per hardware thread) or above");
  if (options.tile_size < 1)
    throw std::invalid_argument("Tile size is " + std::to_string(options.tile_size) + "; it must be 1 or above");
}

struct ImageSize {
  int width, height;
};

// The whole image the camera frames, after checking that the buffer lies inside it.
ImageSize check_target(const Target& target) {
  if (target.width < 0 || target.height < 0)
    throw std::invalid_argument("The render buffers are " + size_text(target.width, target.height) +
                                " pixels; a size cannot be negative");
  if (target.full_width < 0 || target.full_height < 0)
    throw std::invalid_argument("The image is " + size_text(target.full_width, target.full_height) +
                                " pixels; a size cannot be negative");
  const ImageSize full{target.full_width > 0 ? target.full_width : target.width,
                       target.full_height > 0 ? target.full_height : target.height};
  if (target.origin_x < 0 || target.origin_y < 0 || target.origin_x > full.width - target.width ||
      target.origin_y > full.height - target.height)
    throw std::invalid_argument("The " + size_text(target.width, target.height) + " buffers at " +
                                std::to_string(target.origin_x) + "," + std::to_string(target.origin_y) +
                                " do not lie inside the " + size_text(full.width, full.height) + " image");
  if (!(target.pixel_aspect > 0) || !std::isfinite(target.pixel_aspect))
    throw std::invalid_argument("The pixel aspect is " + number_text(target.pixel_aspect) + "; it must be above 0");
  if (target.rgba == nullptr) throw std::invalid_argument("No colour buffer was given to render into");
  if (target.use_region && (target.region.right < target.region.left || target.region.bottom < target.region.top))
    throw std::invalid_argument("The render region " + std::to_string(target.region.left) + "," +
                                std::to_string(target.region.top) + " to " + std::to_string(target.region.right) + "," +
                                std::to_string(target.region.bottom) +
                                " has its right or bottom edge before its left or top edge");
  return full;
}

// Whole-image pixels to render: the buffer's window, cut down to the region. None when
// that leaves nothing.
std::optional<RECT> area_to_render(const Target& target) {
  RECT area{target.origin_x, target.origin_y, target.origin_x + target.width, target.origin_y + target.height};
  if (target.use_region) {
    area.left = std::max(area.left, target.region.left);
    area.top = std::max(area.top, target.region.top);
    area.right = std::min(area.right, target.region.right);
    area.bottom = std::min(area.bottom, target.region.bottom);
  }
  if (area.left >= area.right || area.top >= area.bottom) return std::nullopt;
  return area;
}

// Progress counts tiles in an int.
void check_tile_count(const RECT& area, int tile_size) {
  const auto tiles_along = [tile_size](int length) {
    return (static_cast<long long>(length) + tile_size - 1) / tile_size;
  };
  const long long count = tiles_along(area.right - area.left) * tiles_along(area.bottom - area.top);
  if (count > std::numeric_limits<int>::max())
    throw std::invalid_argument("Tile size " + std::to_string(tile_size) + " splits the image into " +
                                std::to_string(count) + " tiles, more than can be counted; use larger tiles");
}

int thread_count(const Options& options) {
  if (options.threads > 0) return options.threads;
  return std::max(1u, std::thread::hardware_concurrency());
}

void store(const Target& target, int x, int y, const PixelValue& v) {
  const std::size_t i = static_cast<std::size_t>(y - target.origin_y) * static_cast<std::size_t>(target.width) +
                        static_cast<std::size_t>(x - target.origin_x);
  float* rgba = target.rgba + 4 * i;
  rgba[0] = v.colour.r;
  rgba[1] = v.colour.g;
  rgba[2] = v.colour.b;
  rgba[3] = v.alpha;
  if (target.alpha) target.alpha[i] = v.coverage;
  if (target.z_depth) target.z_depth[i] = v.depth;
  if (target.normals) {
    float* n = target.normals + 3 * i;
    const bool hit = v.coverage > 0;
    n[0] = hit ? static_cast<float>((v.normal.x + 1) / 2) : 0.0f;
    n[1] = hit ? static_cast<float>((v.normal.y + 1) / 2) : 0.0f;
    n[2] = hit ? static_cast<float>((v.normal.z + 1) / 2) : 0.0f;
  }
  if (target.diffuse) {
    float* d = target.diffuse + 3 * i;
    d[0] = v.diffuse.r;
    d[1] = v.diffuse.g;
    d[2] = v.diffuse.b;
  }
}

}  // namespace

bool render(const Scene& scene, const Camera& camera, Target& target, const Options& options, Progress& progress) {
  check_options(options);
  const ImageSize full = check_target(target);
  check_camera(camera);
  const Geometry geometry(scene);
  const Lighting lighting(scene);
  const std::optional<RECT> area = area_to_render(target);
  if (!area) return true;
  check_tile_count(*area, options.tile_size);

  const CameraRays rays(camera, full.width, full.height, target.pixel_aspect);
  const PixelSampler sampler(scene, geometry, lighting, rays, options.samples_per_axis);
  progress.title(L"Rendering image...");
  const std::function<void(const Tile&)> work = [&](const Tile& tile) {
    for (int y = tile.top; y < tile.bottom; ++y)
      for (int x = tile.left; x < tile.right; ++x) store(target, x, y, sampler.sample(x, y));
  };
  return run_tiles(split_into_tiles(*area, options.tile_size), thread_count(options), work, progress);
}

}  // namespace paravelle::host::standalone::raytrace
