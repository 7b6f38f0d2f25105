#pragma once
// Primary rays of a camera for an image of a given size.

#include "host/standalone/raytrace/ray.h"
#include "host/standalone/raytrace/scene.h"

namespace paravelle::host::standalone::raytrace {

// Throws std::invalid_argument when the camera cannot frame anything.
void check_camera(const Camera& camera);

class CameraRays {
 public:
  // full_width and full_height above 0, pixel_aspect above 0 (checked by the caller).
  CameraRays(const Camera& camera, int full_width, int full_height, double pixel_aspect);

  // The ray through the whole-image point (x, y), in pixels from the top-left corner.
  Ray through(double x, double y) const;
  // Distance of a point from the camera along the view axis.
  double depth_of(const Vec3& point) const { return (point - position_).dot(forward_); }

 private:
  Vec3 position_, forward_, right_, up_;
  Vec3 lens_point_;  // the ray origin of this pass: the camera position moved on the lens
  bool pinhole_ = true;
  double focal_ = 1;                         // distance of the plane in focus
  double half_width_ = 1, half_height_ = 1;  // of the image plane at distance 1
  double inverse_width_ = 1, inverse_height_ = 1;
};

}  // namespace paravelle::host::standalone::raytrace
