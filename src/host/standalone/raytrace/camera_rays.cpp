#include "host/standalone/raytrace/camera_rays.h"

#include <numbers>
#include <stdexcept>
#include <string>

#include "host/standalone/raytrace/number_text.h"

namespace paravelle::host::standalone::raytrace {
namespace {

// The right-handed camera frame: right x forward = up.
struct Frame {
  Vec3 forward, right, up;
};

Frame frame_of(const Camera& camera) {
  const Vec3 forward = (camera.target - camera.position).normalized();
  Vec3 right = forward.cross(camera.up);
  // A camera looking along its up vector still needs a frame: fall back to a world axis
  // that is not parallel to the view.
  if (right.length_squared() <= 1e-12 * camera.up.length_squared()) {
    const Vec3 fallback = std::abs(forward.y) < 0.9 ? Vec3{0, 1, 0} : Vec3{1, 0, 0};
    right = forward.cross(fallback);
  }
  right = right.normalized();
  return {forward, right, right.cross(forward)};
}

}  // namespace

void check_camera(const Camera& camera) {
  if (!camera.position.finite() || !camera.target.finite() || !camera.up.finite() || !camera.lens_offset.finite())
    throw std::invalid_argument(
        "The camera has a position, target, up vector or lens offset that is not a finite number");
  if (camera.position == camera.target)
    throw std::invalid_argument("The camera's position and target are the same point, so it has no view direction");
  if (!(camera.fov_degrees > 0 && camera.fov_degrees < 180))
    throw std::invalid_argument("The camera's field of view is " + number_text(camera.fov_degrees) +
                                " degrees; it must lie between 0 and 180");
  if (!(camera.aperture >= 0) || !std::isfinite(camera.aperture))
    throw std::invalid_argument("The camera's aperture is " + number_text(camera.aperture) + "; it must be 0 or above");
  if (!(camera.focal_distance >= 0) || !std::isfinite(camera.focal_distance))
    throw std::invalid_argument("The camera's focal distance is " + number_text(camera.focal_distance) +
                                "; it must be 0 (the target's distance) or above");
}

CameraRays::CameraRays(const Camera& camera, int full_width, int full_height, double pixel_aspect) {
  check_camera(camera);
  const Frame frame = frame_of(camera);
  position_ = camera.position;
  forward_ = frame.forward;
  right_ = frame.right;
  up_ = frame.up;
  focal_ = camera.focal_distance > 0 ? camera.focal_distance : (camera.target - camera.position).length();
  lens_point_ = position_ + (right_ * camera.lens_offset.x + up_ * camera.lens_offset.y) * camera.aperture;
  pinhole_ = lens_point_ == position_;
  half_width_ = std::tan(camera.fov_degrees * std::numbers::pi / 360.0);
  // Wide pixels show more of the scene per row, so the image covers less height.
  half_height_ = half_width_ * full_height / (full_width * pixel_aspect);
  inverse_width_ = 1.0 / full_width;
  inverse_height_ = 1.0 / full_height;
}

Ray CameraRays::through(double x, double y) const {
  const double u = (2.0 * x * inverse_width_ - 1.0) * half_width_;
  const double v = (1.0 - 2.0 * y * inverse_height_) * half_height_;
  // Its component along forward is 1, so focal_ times it lands on the plane in focus.
  const Vec3 pinhole_direction = forward_ + right_ * u + up_ * v;
  if (pinhole_) return Ray::make(position_, pinhole_direction.normalized());
  const Vec3 in_focus = position_ + pinhole_direction * focal_;
  return Ray::make(lens_point_, (in_focus - lens_point_).normalized());
}

}  // namespace paravelle::host::standalone::raytrace
