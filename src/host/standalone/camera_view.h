#pragma once
// A camera's view as position, target and field of view, and its conversion to and
// from the host's ViewParams. The transform convention (Z up, like the host): row 0
// is the camera's right, row 1 its up, row 2 points backwards (the camera looks
// along -row 2), row 3 is its position.

#include "host/scene.h"
#include "host/standalone/scene_model.h"

namespace paravelle::host::standalone {

struct CameraView {
  Vector3 position;
  Vector3 target{0, 1, 0};
  double fov_degrees = 45;    // horizontal
  double aperture = 0;        // lens radius; 0 is a pinhole
  double focal_distance = 0;  // 0: the target's distance
};

// The scene frame (fractional) of a time in ticks.
double frame_at(TimeValue t, int ticks_per_frame);

CameraView camera_view_at(const CameraSpec& camera, double frame);

ViewParams to_view_params(const CameraView& view);
CameraView from_view_params(const ViewParams& params);

Vector3 operator+(const Vector3& a, const Vector3& b);
Vector3 operator-(const Vector3& a, const Vector3& b);
Vector3 operator*(const Vector3& a, double s);
double length(const Vector3& v);
Vector3 normalised(const Vector3& v);

// Right, up and forward unit vectors of a view (Z-up world).
struct ViewBasis {
  Vector3 right, up, forward;
};
ViewBasis view_basis(const Vector3& position, const Vector3& target);

}  // namespace paravelle::host::standalone
