#pragma once
// A ray and what it hits.

#include "host/standalone/raytrace/vec3.h"

namespace paravelle::host::standalone::raytrace {

struct Ray {
  Vec3 origin;
  Vec3 direction;  // unit length
  Vec3 inverse;    // 1 / direction per axis (infinite on an axis the ray does not move along)

  static Ray make(const Vec3& origin, const Vec3& unit_direction) {
    return {origin, unit_direction, {1.0 / unit_direction.x, 1.0 / unit_direction.y, 1.0 / unit_direction.z}};
  }
  Vec3 at(double t) const { return origin + direction * t; }
};

struct Hit {
  double t = 0;
  Vec3 point;
  Vec3 normal;  // unit, turned to face the ray's origin
  Colour colour;
};

}  // namespace paravelle::host::standalone::raytrace
