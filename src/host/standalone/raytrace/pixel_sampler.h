#pragma once
// Everything the renderer knows about one pixel: the samples of its n x n grid, traced,
// shaded and averaged into what each buffer holds (see Target for the rules).

#include "host/standalone/raytrace/camera_rays.h"
#include "host/standalone/raytrace/shading.h"

namespace paravelle::host::standalone::raytrace {

struct PixelValue {
  Colour colour;   // mean seen colour
  float alpha;     // mean of 1 per hit and background alpha per miss
  float coverage;  // fraction of samples that hit
  float depth;     // nearest hit along the view axis, kNoHitDepth when none
  Vec3 normal;     // mean hit normal, unit; zero when nothing is hit
  Colour diffuse;  // mean unlit colour of the hits; zero when nothing is hit
};

class PixelSampler {
 public:
  PixelSampler(const Scene& scene, const Geometry& geometry, const Lighting& lighting, const CameraRays& camera,
               int samples_per_axis);

  // Whole-image pixel (x, y).
  PixelValue sample(int x, int y) const;

 private:
  const Geometry& geometry_;
  const Lighting& lighting_;
  const CameraRays& camera_;
  Colour background_;
  float background_alpha_;
  int n_;
};

}  // namespace paravelle::host::standalone::raytrace
