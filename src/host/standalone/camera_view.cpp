#include "host/standalone/camera_view.h"

#include <cmath>
#include <numbers>

namespace paravelle::host::standalone {
namespace {

Vector3 cross(const Vector3& a, const Vector3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

Vector3 from_point(const Point3& p) { return {p.x, p.y, p.z}; }

Point3 to_point(const Vector3& v) {
  return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)};
}

}  // namespace

Vector3 operator+(const Vector3& a, const Vector3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vector3 operator-(const Vector3& a, const Vector3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vector3 operator*(const Vector3& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double length(const Vector3& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

Vector3 normalised(const Vector3& v) {
  const double l = length(v);
  return l > 0 ? v * (1.0 / l) : Vector3{0, 1, 0};
}

Vector3 Track::at(double frame) const {
  if (keys.empty()) return {};
  if (frame <= keys.front().frame) return keys.front().value;
  if (frame >= keys.back().frame) return keys.back().value;
  std::size_t next = 1;
  while (keys[next].frame < frame) ++next;
  const Key& a = keys[next - 1];
  const Key& b = keys[next];
  const double s = (frame - a.frame) / (b.frame - a.frame);
  return a.value + (b.value - a.value) * s;
}

double frame_at(TimeValue t, int ticks_per_frame) {
  return static_cast<double>(t) / static_cast<double>(ticks_per_frame > 0 ? ticks_per_frame : 1);
}

CameraView camera_view_at(const CameraSpec& camera, double frame) {
  CameraView view;
  view.position = camera.position.at(frame);
  view.target = camera.target.at(frame);
  view.fov_degrees = camera.fov_degrees;
  return view;
}

ViewBasis view_basis(const Vector3& position, const Vector3& target) {
  const Vector3 forward = normalised(target - position);
  // Looking straight up or down, the world's Y takes the place of Z as "up".
  const Vector3 world_up = std::abs(forward.z) > 0.999999 ? Vector3{0, 1, 0} : Vector3{0, 0, 1};
  const Vector3 right = normalised(cross(forward, world_up));
  return {right, cross(right, forward), forward};
}

ViewParams to_view_params(const CameraView& view) {
  const ViewBasis basis = view_basis(view.position, view.target);
  ViewParams params;
  params.affineTM.row[0] = to_point(basis.right);
  params.affineTM.row[1] = to_point(basis.up);
  params.affineTM.row[2] = to_point(basis.forward * -1.0);
  params.affineTM.row[3] = to_point(view.position);
  params.projType = 0;
  params.fov = static_cast<float>(view.fov_degrees * std::numbers::pi / 180.0);
  params.aperture = static_cast<float>(view.aperture);
  params.focalDistance =
      static_cast<float>(view.focal_distance > 0 ? view.focal_distance : length(view.target - view.position));
  return params;
}

CameraView from_view_params(const ViewParams& params) {
  CameraView view;
  view.position = from_point(params.affineTM.row[3]);
  const Vector3 forward = normalised(from_point(params.affineTM.row[2]) * -1.0);
  const double distance = params.focalDistance > 0 ? params.focalDistance : 1.0;
  view.target = view.position + forward * distance;
  view.fov_degrees = params.fov * 180.0 / std::numbers::pi;
  view.aperture = params.aperture;
  view.focal_distance = params.focalDistance;
  return view;
}

}  // namespace paravelle::host::standalone
