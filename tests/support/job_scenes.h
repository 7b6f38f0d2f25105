#pragma once
// Scene files for the job tests, in the standalone host's format (docs/scene-format.md).

#include <nlohmann/json.hpp>
#include <string>

namespace paravelle::testing {

// 32x24, one sample per pixel, two render threads, 8-pixel tiles: a camera "Cam" at
// (0,-10,0) looking at a sphere of radius 2 and colour (0.8, 0.2, 0.1) at the origin, lit
// by ambient light 1 only, so a pixel of the sphere is exactly its colour. Viewport 0
// looks through the camera (active, rendering follows it); viewport 1 is a perspective
// view of its own.
nlohmann::json small_job_scene();

// Writes the scene as folder/name and returns that native path.
std::string write_scene(const std::string& folder, const std::string& name, const nlohmann::json& scene);

// A native path as the wide text the plug-in passes around (the tests' paths are ASCII).
std::wstring wide(const std::string& native);

}  // namespace paravelle::testing
