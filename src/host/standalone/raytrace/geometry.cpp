#include "host/standalone/raytrace/geometry.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "host/standalone/raytrace/number_text.h"

namespace paravelle::host::standalone::raytrace {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

std::string name_of(const char* kind, std::size_t index) { return std::string(kind) + " " + std::to_string(index); }

// The nearest root of the sphere's quadratic above t_min, or infinity.
[[gnu::always_inline]] inline double hit_sphere(const Ray& ray, const Vec3& centre, double radius_squared,
                                                double t_min) {
  const Vec3 oc = ray.origin - centre;
  const double b = oc.dot(ray.direction);
  const double c = oc.length_squared() - radius_squared;
  const double discriminant = b * b - c;
  if (discriminant < 0) return kInfinity;
  const double root = std::sqrt(discriminant);
  if (const double near = -b - root; near > t_min) return near;
  if (const double far = -b + root; far > t_min) return far;
  return kInfinity;
}

[[gnu::always_inline]] inline double hit_plane(const Ray& ray, const Vec3& normal, double offset, double t_min) {
  const double facing = normal.dot(ray.direction);
  if (facing == 0) return kInfinity;
  const double t = (offset - normal.dot(ray.origin)) / facing;
  return t > t_min ? t : kInfinity;
}

// One slab of the box's slab test: narrows [enter, leave]. Comparisons are written so that
// a NaN (a ray in the slab's boundary plane and parallel to it) never narrows it.
[[gnu::always_inline]] inline void clip_slab(double lo, double hi, double origin, double inverse, int axis,
                                             double& enter, int& enter_axis, double& leave, int& leave_axis) {
  const double t0 = (lo - origin) * inverse;
  const double t1 = (hi - origin) * inverse;
  const double near = t0 < t1 ? t0 : t1;
  const double far = t0 < t1 ? t1 : t0;
  if (near > enter) {
    enter = near;
    enter_axis = axis;
  }
  if (far < leave) {
    leave = far;
    leave_axis = axis;
  }
}

// `axis` receives the axis of the face that is hit.
[[gnu::always_inline]] inline double hit_box(const Ray& ray, const Vec3& min, const Vec3& max, double t_min,
                                             int& axis) {
  double enter = -kInfinity, leave = kInfinity;
  int enter_axis = 0, leave_axis = 0;
  clip_slab(min.x, max.x, ray.origin.x, ray.inverse.x, 0, enter, enter_axis, leave, leave_axis);
  clip_slab(min.y, max.y, ray.origin.y, ray.inverse.y, 1, enter, enter_axis, leave, leave_axis);
  clip_slab(min.z, max.z, ray.origin.z, ray.inverse.z, 2, enter, enter_axis, leave, leave_axis);
  if (enter > leave) return kInfinity;
  if (enter > t_min) {
    axis = enter_axis;
    return enter;
  }
  if (leave > t_min && leave < kInfinity) {  // the ray starts inside the box
    axis = leave_axis;
    return leave;
  }
  return kInfinity;
}

Vec3 axis_normal_against(int axis, const Vec3& direction) {
  Vec3 n;
  const double sign = direction[axis] > 0 ? -1.0 : 1.0;
  (axis == 0 ? n.x : axis == 1 ? n.y : n.z) = sign;
  return n;
}

Vec3 facing(const Vec3& normal, const Vec3& direction) { return normal.dot(direction) > 0 ? -normal : normal; }

}  // namespace

Geometry::Geometry(const Scene& scene) {
  for (std::size_t i = 0; i < scene.spheres.size(); ++i) {
    const Sphere& s = scene.spheres[i];
    if (!s.centre.finite() || !(s.radius > 0) || !std::isfinite(s.radius))
      throw std::invalid_argument(name_of("Sphere", i) + " has radius " + number_text(s.radius) +
                                  " or a centre that is not finite; the radius must be above 0");
    spheres_.push_back({s.centre, s.radius * s.radius, s.colour});
  }
  for (std::size_t i = 0; i < scene.planes.size(); ++i) {
    const Plane& p = scene.planes[i];
    const Vec3 n = p.normal.normalized();
    if (!p.point.finite() || !n.finite() || n.length_squared() == 0)
      throw std::invalid_argument(name_of("Plane", i) +
                                  " has a zero or non-finite normal, or a point that is not finite");
    planes_.push_back({n, n.dot(p.point), p.colour});
  }
  for (std::size_t i = 0; i < scene.boxes.size(); ++i) {
    const Box& b = scene.boxes[i];
    if (!b.min.finite() || !b.max.finite() || b.min.x > b.max.x || b.min.y > b.max.y || b.min.z > b.max.z)
      throw std::invalid_argument(
          name_of("Box", i) + " has a minimum corner above its maximum on some axis, or corners that are not finite");
    boxes_.push_back({b.min, b.max, b.colour});
  }
}

bool Geometry::closest(const Ray& ray, double t_min, Hit& hit) const {
  double best = kInfinity;
  enum class Kind { none, sphere, plane, box } kind = Kind::none;
  std::size_t index = 0;
  int box_axis = 0;
  for (std::size_t i = 0; i < spheres_.size(); ++i) {
    if (const double t = hit_sphere(ray, spheres_[i].centre, spheres_[i].radius_squared, t_min); t < best) {
      best = t;
      kind = Kind::sphere;
      index = i;
    }
  }
  for (std::size_t i = 0; i < planes_.size(); ++i) {
    if (const double t = hit_plane(ray, planes_[i].normal, planes_[i].offset, t_min); t < best) {
      best = t;
      kind = Kind::plane;
      index = i;
    }
  }
  for (std::size_t i = 0; i < boxes_.size(); ++i) {
    int axis = 0;
    if (const double t = hit_box(ray, boxes_[i].min, boxes_[i].max, t_min, axis); t < best) {
      best = t;
      kind = Kind::box;
      index = i;
      box_axis = axis;
    }
  }
  if (kind == Kind::none) return false;
  hit.t = best;
  hit.point = ray.at(best);
  if (kind == Kind::sphere) {
    hit.normal = facing((hit.point - spheres_[index].centre).normalized(), ray.direction);
    hit.colour = spheres_[index].colour;
  } else if (kind == Kind::plane) {
    hit.normal = facing(planes_[index].normal, ray.direction);
    hit.colour = planes_[index].colour;
  } else {
    hit.normal = axis_normal_against(box_axis, ray.direction);
    hit.colour = boxes_[index].colour;
  }
  return true;
}

bool Geometry::occluded(const Ray& ray, double t_min, double t_max) const {
  for (const PreparedSphere& s : spheres_)
    if (hit_sphere(ray, s.centre, s.radius_squared, t_min) < t_max) return true;
  for (const PreparedPlane& p : planes_)
    if (hit_plane(ray, p.normal, p.offset, t_min) < t_max) return true;
  for (const PreparedBox& b : boxes_) {
    int axis = 0;
    if (hit_box(ray, b.min, b.max, t_min, axis) < t_max) return true;
  }
  return false;
}

}  // namespace paravelle::host::standalone::raytrace
