#pragma once
// The content of a scene file, as plain values. The loader fills it, the host's
// runtime objects (nodes, viewports, render elements) are built from it, and the
// renderer glue evaluates it at a time.

#include <map>
#include <string>
#include <vector>

#include "host/types.h"

namespace paravelle::host::standalone {

struct Vector3 {
  double x = 0, y = 0, z = 0;
};

struct ColourRGB {
  float r = 0, g = 0, b = 0;
};

// A vector that may change over time: keys at frames, linear in between, held
// constant before the first key and after the last. An empty track is the origin.
struct Track {
  struct Key {
    double frame = 0;
    Vector3 value;
  };
  std::vector<Key> keys;  // sorted by frame, frames distinct

  Vector3 at(double frame) const;
  static Track constant(Vector3 value) { return Track{{Key{0, value}}}; }
};

// Class identifiers of the standalone host's own objects ("PRND", "PCAM", ...).
inline constexpr Class_ID kDefaultRendererClass{0x50524E44, 0x00000001};
inline constexpr Class_ID kCameraClass{0x5043414D, 0x00000001};
inline constexpr Class_ID kDepthOfFieldClass{0x50444F46, 0x00000001};
inline constexpr Class_ID kMotionBlurClass{0x504D424C, 0x00000001};
inline constexpr Class_ID kGeometryClass{0x5047454F, 0x00000001};
inline constexpr Class_ID kLightClass{0x504C4754, 0x00000001};

struct MultipassSpec {
  enum class Kind { depth_of_field, motion_blur };
  Kind kind = Kind::depth_of_field;
  bool enabled = true;
  Class_ID class_id = kDepthOfFieldClass;
  int passes = 1;
  double aperture = 0;        // lens radius in scene units (depth of field)
  double focal_distance = 0;  // 0: the distance to the camera's target
  double time_spread = 0;     // frames covered by the passes (motion blur)
};

struct CameraSpec {
  Class_ID class_id = kCameraClass;
  double fov_degrees = 45;  // horizontal
  Track position;
  Track target;
  bool has_effect = false;
  MultipassSpec effect;
};

struct GeometrySpec {
  enum class Shape { sphere, plane, box };
  Shape shape = Shape::sphere;
  ColourRGB colour{0.8f, 0.8f, 0.8f};
  Track position;           // sphere centre, a point of the plane, box centre
  double radius = 1;        // sphere
  Vector3 normal{0, 0, 1};  // plane
  Vector3 size{1, 1, 1};    // box edge lengths
};

struct LightSpec {
  enum class Kind { point, directional };
  Kind kind = Kind::point;
  Vector3 position;
  Vector3 direction{0, 0, -1};
  ColourRGB colour{1, 1, 1};
  double intensity = 1;
  bool shadows = true;
};

struct NodeSpec {
  enum class Kind { group, camera, geometry, light };
  std::wstring name;
  Kind kind = Kind::group;
  CameraSpec camera;
  GeometrySpec geometry;
  LightSpec light;
  std::vector<NodeSpec> children;
};

// A viewport looks through a camera node (camera_name not empty) or has its own view.
struct ViewportSpec {
  std::wstring camera_name;
  Vector3 position{0, -10, 5};
  Vector3 target{0, 0, 0};
  double fov_degrees = 45;
};

struct RenderElementSpec {
  enum class Content { alpha, zdepth, normals, diffuse };
  std::wstring name;
  bool enabled = true;
  std::wstring file_name;
  Content content = Content::alpha;
  double z_min = 0;    // zdepth: white at z_min ...
  double z_max = 100;  // ... black at z_max and beyond
};

struct RendererSpec {
  Class_ID class_id = kDefaultRendererClass;
  bool float_output = false;      // requirement 3
  bool saves_own_output = false;  // requirement 2
};

struct RenderSettingsSpec {
  int width = 640;
  int height = 480;
  float pixel_aspect = 1.0f;
  std::wstring output_file;
  bool save_file = false;
  bool skip_rendered_frames = false;
  int samples_per_axis = 2;
  int threads = 0;  // 0: one per hardware thread
  int tile_size = 32;
};

struct EnvironmentSpec {
  ColourRGB background{0, 0, 0};
  float background_alpha = 0;
  ColourRGB ambient{0.05f, 0.05f, 0.05f};
};

struct GammaSpec {
  bool enabled = false;
  float file_in = 2.2f;
  float file_out = 2.2f;
};

struct FaultSpec {
  enum class When { load, open, render, close, time, viewport, flush, write };
  enum class Kind {
    write,
    read_null,
    divide_by_zero,
    recursion,
    fail,
    hang,
    std_exception,
    max_exception,
    unknown_exception
  };
  When when = When::load;
  Kind kind = Kind::fail;
  int frame = 0;  // render faults only
};

struct SceneSpec {
  int ticks_per_frame = 160;
  RenderSettingsSpec render;
  RendererSpec renderer;
  EnvironmentSpec environment;
  std::vector<ViewportSpec> viewports{ViewportSpec{}};
  int active_viewport = 0;
  bool render_active_viewport = true;
  int locked_viewport = 0;
  std::vector<NodeSpec> nodes;
  bool elements_active = true;
  std::vector<RenderElementSpec> elements;
  std::map<int, std::vector<std::wstring>> missing_messages;  // by message type
  std::vector<std::wstring> external_files;                   // checked at load
  GammaSpec gamma;
  std::wstring post_load_script;
  std::wstring pre_frame_script;
  std::vector<FaultSpec> faults;
};

}  // namespace paravelle::host::standalone
