#include "host/standalone/raytrace/shading.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace paravelle::host::standalone::raytrace {
namespace {

constexpr float kSpecularStrength = 0.2f;

// Blinn lobe with exponent 32, by repeated squaring: pow() is slow in the inner loop.
double blinn_lobe(double cosine) {
  double v = cosine * cosine;  // 2
  v *= v;                      // 4
  v *= v;                      // 8
  v *= v;                      // 16
  return v * v;                // 32
}

// Shadow rays start a little off the surface so they do not hit it again; the distance
// grows with the coordinates because so does the rounding error of the hit point.
double surface_offset(const Vec3& point) {
  const double scale = std::max({1.0, std::abs(point.x), std::abs(point.y), std::abs(point.z)});
  return 1e-6 * scale;
}

}  // namespace

Lighting::Lighting(const Scene& scene) : ambient_(scene.ambient) {
  for (std::size_t i = 0; i < scene.point_lights.size(); ++i) {
    const PointLight& l = scene.point_lights[i];
    if (!l.position.finite() || !std::isfinite(l.intensity))
      throw std::invalid_argument("Point light " + std::to_string(i) +
                                  " has a position or intensity that is not finite");
    lights_.push_back({l.position, {}, l.colour * static_cast<float>(l.intensity), l.shadows, false});
  }
  for (std::size_t i = 0; i < scene.directional_lights.size(); ++i) {
    const DirectionalLight& l = scene.directional_lights[i];
    const Vec3 towards = -l.direction.normalized();
    if (!towards.finite() || towards.length_squared() == 0 || !std::isfinite(l.intensity))
      throw std::invalid_argument("Directional light " + std::to_string(i) +
                                  " has a zero or non-finite direction, or an intensity that is not finite");
    lights_.push_back({{}, towards, l.colour * static_cast<float>(l.intensity), l.shadows, true});
  }
}

Colour Lighting::shade(const Geometry& geometry, const Ray& ray, const Hit& hit) const {
  Colour result = ambient_ * hit.colour;
  const Vec3 to_eye = -ray.direction;
  for (const Light& light : lights_) result += add_light(geometry, light, hit.point, hit.normal, to_eye, hit.colour);
  return result;
}

Colour Lighting::add_light(const Geometry& geometry, const Light& light, const Vec3& point, const Vec3& normal,
                           const Vec3& to_eye, const Colour& albedo) const {
  Vec3 towards = light.towards;
  double distance = std::numeric_limits<double>::infinity();
  if (!light.directional) {
    const Vec3 offset = light.position - point;
    distance = offset.length();
    if (distance == 0) return {};
    towards = offset / distance;
  }
  const double cosine = normal.dot(towards);
  if (cosine <= 0) return {};
  if (light.shadows) {
    const double epsilon = surface_offset(point);
    const Ray shadow = Ray::make(point + normal * epsilon, towards);
    if (geometry.occluded(shadow, 0.0, distance - epsilon)) return {};
  }
  const double half_cosine = std::max(0.0, normal.dot((towards + to_eye).normalized()));
  const float diffuse = static_cast<float>(cosine);
  const float specular = kSpecularStrength * static_cast<float>(blinn_lobe(half_cosine));
  return albedo * light.radiance * diffuse + light.radiance * specular;
}

}  // namespace paravelle::host::standalone::raytrace
