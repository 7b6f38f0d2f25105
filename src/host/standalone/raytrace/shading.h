#pragma once
// Direct lighting of a surface point: ambient, Lambert diffuse and a little Blinn
// specular per light, with hard shadows.

#include <vector>

#include "host/standalone/raytrace/geometry.h"

namespace paravelle::host::standalone::raytrace {

class Lighting {
 public:
  // Throws std::invalid_argument for a light that cannot be used, naming it.
  explicit Lighting(const Scene& scene);

  // Linear colour seen along `ray` at `hit`.
  Colour shade(const Geometry& geometry, const Ray& ray, const Hit& hit) const;

 private:
  struct Light {
    Vec3 position;    // point lights
    Vec3 towards;     // directional lights: unit vector from the surface to the light
    Colour radiance;  // colour times intensity
    bool shadows;
    bool directional;
  };

  Colour add_light(const Geometry& geometry, const Light& light, const Vec3& point, const Vec3& normal,
                   const Vec3& to_eye, const Colour& albedo) const;

  std::vector<Light> lights_;
  Colour ambient_;
};

}  // namespace paravelle::host::standalone::raytrace
