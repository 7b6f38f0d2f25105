#pragma once
// What the ray tracer renders: a camera, simple solids and lights, in a Z-up world.
// Scene loaders fill these aggregates; the engine checks them when a render starts.

#include <vector>

#include "host/standalone/raytrace/vec3.h"

namespace paravelle::host::standalone::raytrace {

// A pinhole camera, or a thin lens when `aperture` is above 0. When `up` is parallel to
// the view direction (a camera looking straight down, say) world +Y is used instead, and
// world +X when the view is along Y.
struct Camera {
  Vec3 position, target, up{0, 0, 1};
  double fov_degrees = 45.0;    // horizontal, over the whole image; must lie in (0, 180)
  double aperture = 0.0;        // lens radius in world units, 0 = pinhole
  double focal_distance = 0.0;  // distance of the plane in focus along the view axis; 0 = distance to target
  // The point of the lens this pass looks through, in lens radii on the camera's
  // right (x) and up (y) axes: (1, 0) is the lens's right rim. z is ignored. One pass
  // uses one lens point; averaging passes over the disc gives depth of field.
  Vec3 lens_offset;
};

struct Sphere {
  Vec3 centre;
  double radius = 1;  // above 0
  Colour colour;
};

// Two-sided: both faces are lit from the side the viewer is on.
struct Plane {
  Vec3 point;
  Vec3 normal{0, 0, 1};  // any length but 0
  Colour colour;
};

struct Box {  // axis aligned; min <= max on every axis (a flat box is allowed)
  Vec3 min, max;
  Colour colour;
};

// Lights have no distance falloff, as the host's default lights.
struct PointLight {
  Vec3 position;
  Colour colour{1, 1, 1};
  double intensity = 1;
  bool shadows = true;
};

struct DirectionalLight {
  Vec3 direction{0, 0, -1};  // the way the light travels; any length but 0
  Colour colour{1, 1, 1};
  double intensity = 1;
  bool shadows = true;
};

struct Scene {
  std::vector<Sphere> spheres;
  std::vector<Plane> planes;
  std::vector<Box> boxes;
  std::vector<PointLight> point_lights;
  std::vector<DirectionalLight> directional_lights;
  Colour background{0, 0, 0};  // what a ray that hits nothing sees
  float background_alpha = 0;
  Colour ambient{0.05f, 0.05f, 0.05f};  // multiplied by the surface colour
};

}  // namespace paravelle::host::standalone::raytrace
