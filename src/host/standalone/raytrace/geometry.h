#pragma once
// The scene's solids, prepared for ray queries. Small scenes are the target: every ray
// tests every object, each with its own cheap bounding test (a sphere and a box are their
// own bounds), which beats building an acceleration structure below a few hundred objects.

#include <vector>

#include "host/standalone/raytrace/ray.h"
#include "host/standalone/raytrace/scene.h"

namespace paravelle::host::standalone::raytrace {

class Geometry {
 public:
  // Throws std::invalid_argument for an object that cannot be rendered, naming it.
  explicit Geometry(const Scene& scene);

  // The nearest hit with t above t_min; false when the ray hits nothing.
  bool closest(const Ray& ray, double t_min, Hit& hit) const;
  // Whether anything lies on the ray with t in (t_min, t_max).
  bool occluded(const Ray& ray, double t_min, double t_max) const;

 private:
  struct PreparedSphere {
    Vec3 centre;
    double radius_squared;
    Colour colour;
  };
  struct PreparedPlane {
    Vec3 normal;    // unit
    double offset;  // normal . point for every point of the plane
    Colour colour;
  };
  struct PreparedBox {
    Vec3 min, max;
    Colour colour;
  };

  std::vector<PreparedSphere> spheres_;
  std::vector<PreparedPlane> planes_;
  std::vector<PreparedBox> boxes_;
};

}  // namespace paravelle::host::standalone::raytrace
