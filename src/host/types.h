#pragma once
// Small value types shared by every part of the host interface.

#include <cstdint>

using TimeValue = std::int32_t;  // scene time in ticks
using BOOL = int;

namespace paravelle::host {

// The host's identifiers: two 32-bit words, both `kUnset` until they are given.
template <class Id, std::uint32_t kUnset>
struct TwoWordId {
  std::uint32_t a = kUnset;
  std::uint32_t b = kUnset;
  constexpr TwoWordId() = default;
  constexpr TwoWordId(std::uint32_t first, std::uint32_t second) : a(first), b(second) {}
  constexpr std::uint32_t PartA() const { return a; }
  constexpr std::uint32_t PartB() const { return b; }
  friend constexpr bool operator==(const Id& x, const Id& y) { return x.a == y.a && x.b == y.b; }
};

}  // namespace paravelle::host

// A class identifier.
struct Class_ID : paravelle::host::TwoWordId<Class_ID, 0> {
  using TwoWordId::TwoWordId;
};

// An interface identifier of the function-publishing system.
struct Interface_ID : paravelle::host::TwoWordId<Interface_ID, 0xFFFFFFFF> {
  using TwoWordId::TwoWordId;
};

// A span of scene time; a validity interval starts empty and is narrowed by callees.
struct Interval {
  TimeValue start = 0;
  TimeValue end = -1;
  bool Empty() const { return end < start; }
};

// A rectangle in pixels: left, top, right, bottom as four consecutive 32-bit values.
struct RECT {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
};

// A 3-component vector and a rigid transform (rotation rows plus translation).
struct Point3 {
  float x = 0, y = 0, z = 0;
};

struct Matrix3 {
  Point3 row[4] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}};  // rows 0-2 axes, row 3 position
};
