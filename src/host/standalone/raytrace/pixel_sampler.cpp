#include "host/standalone/raytrace/pixel_sampler.h"

#include <algorithm>

#include "host/standalone/raytrace/render.h"
#include "host/standalone/raytrace/sampling.h"

namespace paravelle::host::standalone::raytrace {

PixelSampler::PixelSampler(const Scene& scene, const Geometry& geometry, const Lighting& lighting,
                           const CameraRays& camera, int samples_per_axis)
    : geometry_(geometry),
      lighting_(lighting),
      camera_(camera),
      background_(scene.background),
      background_alpha_(scene.background_alpha),
      n_(samples_per_axis) {}

PixelValue PixelSampler::sample(int x, int y) const {
  Colour seen, diffuse;
  Vec3 normal;
  double nearest = kNoHitDepth;
  int hits = 0;
  Hit hit;
  for (int cy = 0; cy < n_; ++cy) {
    for (int cx = 0; cx < n_; ++cx) {
      const SamplePoint s = stratified_sample(x, y, cx, cy, n_);
      const Ray ray = camera_.through(x + s.x, y + s.y);
      if (!geometry_.closest(ray, 0.0, hit)) {
        seen += background_;
        continue;
      }
      ++hits;
      seen += lighting_.shade(geometry_, ray, hit);
      diffuse += hit.colour;
      normal += hit.normal;
      nearest = std::min(nearest, camera_.depth_of(hit.point));
    }
  }
  PixelValue value{};
  // Summing n*n copies and dividing again would not give the background back exactly,
  // and a farm's black-frame and compositing checks compare it exactly.
  if (hits == 0) {
    value.colour = background_;
    value.alpha = background_alpha_;
    value.depth = kNoHitDepth;
    return value;
  }
  const int count = n_ * n_;
  const float per_sample = 1.0f / static_cast<float>(count);
  value.colour = seen * per_sample;
  value.alpha = (static_cast<float>(hits) + static_cast<float>(count - hits) * background_alpha_) * per_sample;
  value.coverage = static_cast<float>(hits) * per_sample;
  value.depth = static_cast<float>(nearest);
  value.normal = normal.normalized();
  value.diffuse = diffuse * (1.0f / static_cast<float>(hits));
  return value;
}

}  // namespace paravelle::host::standalone::raytrace
