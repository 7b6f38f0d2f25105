#pragma once
// Vectors and colours of the ray tracer. Plain aggregates so scene loaders can fill them
// with designated initialisers.

#include <cmath>

namespace paravelle::host::standalone::raytrace {

struct Vec3 {
  double x = 0, y = 0, z = 0;

  constexpr Vec3 operator+(const Vec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
  constexpr Vec3 operator-(const Vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
  constexpr Vec3 operator-() const { return {-x, -y, -z}; }
  constexpr Vec3 operator*(double s) const { return {x * s, y * s, z * s}; }
  constexpr Vec3 operator/(double s) const { return {x / s, y / s, z / s}; }
  constexpr Vec3& operator+=(const Vec3& o) {
    x += o.x;
    y += o.y;
    z += o.z;
    return *this;
  }
  friend constexpr Vec3 operator*(double s, const Vec3& v) { return v * s; }
  friend constexpr bool operator==(const Vec3&, const Vec3&) = default;

  constexpr double dot(const Vec3& o) const { return x * o.x + y * o.y + z * o.z; }
  constexpr Vec3 cross(const Vec3& o) const { return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x}; }
  constexpr double length_squared() const { return dot(*this); }
  double length() const { return std::sqrt(length_squared()); }
  // The zero vector stays zero rather than turning into NaNs.
  Vec3 normalized() const {
    const double len = length();
    return len > 0 ? *this / len : Vec3{};
  }
  // Component by index 0..2, for the box's slab test.
  constexpr double operator[](int axis) const { return axis == 0 ? x : axis == 1 ? y : z; }
  bool finite() const { return std::isfinite(x) && std::isfinite(y) && std::isfinite(z); }
};

constexpr double dot(const Vec3& a, const Vec3& b) { return a.dot(b); }
constexpr Vec3 cross(const Vec3& a, const Vec3& b) { return a.cross(b); }

// Linear colour, no gamma: what the renderer writes is what the image holds.
struct Colour {
  float r = 0, g = 0, b = 0;

  constexpr Colour operator+(const Colour& o) const { return {r + o.r, g + o.g, b + o.b}; }
  constexpr Colour operator*(const Colour& o) const { return {r * o.r, g * o.g, b * o.b}; }
  constexpr Colour operator*(float s) const { return {r * s, g * s, b * s}; }
  constexpr Colour& operator+=(const Colour& o) {
    r += o.r;
    g += o.g;
    b += o.b;
    return *this;
  }
  friend constexpr bool operator==(const Colour&, const Colour&) = default;
};

}  // namespace paravelle::host::standalone::raytrace
