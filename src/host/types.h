#pragma once
// Small value types shared by every part of the host interface.

#include <cstdint>

using TimeValue = std::int32_t;  // scene time in ticks
using BOOL = int;

// A class identifier: two 32-bit words.
struct Class_ID {
  std::uint32_t a = 0;
  std::uint32_t b = 0;
  constexpr Class_ID() = default;
  constexpr Class_ID(std::uint32_t first, std::uint32_t second) : a(first), b(second) {}
  constexpr std::uint32_t PartA() const { return a; }
  constexpr std::uint32_t PartB() const { return b; }
  friend constexpr bool operator==(const Class_ID&, const Class_ID&) = default;
};

// An interface identifier of the function-publishing system.
struct Interface_ID {
  std::uint32_t a = 0xFFFFFFFF;
  std::uint32_t b = 0xFFFFFFFF;
  constexpr Interface_ID() = default;
  constexpr Interface_ID(std::uint32_t first, std::uint32_t second) : a(first), b(second) {}
  constexpr std::uint32_t PartA() const { return a; }
  constexpr std::uint32_t PartB() const { return b; }
  friend constexpr bool operator==(const Interface_ID&, const Interface_ID&) = default;
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
