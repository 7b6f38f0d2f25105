#pragma once
// The scene at one moment, in the ray-tracing engine's terms.

#include "host/standalone/camera_view.h"
#include "host/standalone/raytrace/render.h"
#include "host/standalone/scene_model.h"

namespace paravelle::host::standalone {

raytrace::Scene engine_scene_at(const SceneSpec& scene, double frame);
raytrace::Camera engine_camera(const CameraView& view);

}  // namespace paravelle::host::standalone
