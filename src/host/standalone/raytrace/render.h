#pragma once
// The standalone host's ray tracer: renders a Scene through a Camera into float buffers,
// tile by tile on a pool of threads.
//
// Image coordinates: pixel (x, y) of the whole image covers [x, x+1) x [y, y+1), y down,
// row 0 at the top. The camera frames the whole image (full_width x full_height); a
// buffer may hold all of it or a window of it (a cropped region render).
//
// Every pixel is computed from its whole-image coordinates alone, so the result does not
// depend on the thread count, the tile size, or whether the pixel was rendered as part of
// the whole image, a region or a crop: the same inputs give bit-identical buffers.

#include <string>

#include "host/standalone/raytrace/scene.h"
#include "host/types.h"

namespace paravelle::host::standalone::raytrace {

// Depth written where no sample hits geometry.
inline constexpr float kNoHitDepth = 1.0e30f;

// Where the engine writes. All buffers are width*height pixels, row-major, top row first;
// buffer pixel (0, 0) is whole-image pixel (origin_x, origin_y).
//
// Samples are averaged per pixel as follows:
// - rgba: rgb is the mean of what each sample sees (the shaded surface, or the background
//   colour); alpha is the mean of 1 per hit and background_alpha per miss. Not
//   premultiplied: a background pixel holds exactly the background colour.
// - alpha: coverage, the fraction of samples that hit geometry.
// - z_depth: the nearest hit's distance along the view axis from the camera position;
//   kNoHitDepth where nothing is hit.
// - normals: the mean world normal of the hits (facing the camera), renormalised and
//   mapped to 0..1 as (n + 1) / 2; 0, 0, 0 where nothing is hit.
// - diffuse: the mean unlit surface colour of the hits; 0, 0, 0 where nothing is hit.
struct Target {
  int width = 0, height = 0;            // size of the buffers
  int full_width = 0, full_height = 0;  // whole image the camera frames; 0 = the buffer's size
  int origin_x = 0, origin_y = 0;       // whole-image position of buffer pixel (0, 0)
  // In whole-image pixels, right and bottom exclusive. Only pixels inside it (and inside
  // the buffer) are written; the rest of every buffer is left as it was.
  RECT region{0, 0, 0, 0};
  bool use_region = false;
  float pixel_aspect = 1.0f;  // width of a pixel over its height
  float* rgba = nullptr;      // required, 4 floats per pixel
  float* alpha = nullptr;     // optional, 1 float per pixel
  float* z_depth = nullptr;   // optional, 1 float per pixel
  float* normals = nullptr;   // optional, 3 floats per pixel
  float* diffuse = nullptr;   // optional, 3 floats per pixel
};

struct Options {
  int samples_per_axis = 2;  // n*n stratified samples per pixel, 1..64
  int threads = 0;           // 0 = one per hardware thread; the calling thread is one of them
  int tile_size = 32;        // tiles are square, in pixels; at least 1
};

// Reports of a render. tile_done is called from the thread that finished the tile, but
// never from two threads at once: `done` counts 1, 2, ... total in the order the calls
// are made, so the last call of a finished render is (total, total).
class Progress {
 public:
  virtual ~Progress() = default;
  virtual void title(const std::wstring& text) = 0;
  // Return false to abort: tiles not yet started are skipped and tile_done is not
  // called again.
  virtual bool tile_done(int done, int total) = 0;
};

// Renders the scene into `target`. Sends title(L"Rendering image...") once from the
// calling thread, then one tile_done per finished tile. Returns true when every tile was
// rendered, false when tile_done asked to abort (the buffers then hold the tiles that were
// finished). An exception thrown by tile_done, or inside a worker, ends the render and
// is rethrown here once every thread has been joined.
//
// A buffer or region with no pixels (width or height 0, an empty region, a region
// outside the buffer) renders nothing: no reports, result true. Bad input throws
// std::invalid_argument naming the fault before anything is reported or written:
// negative sizes, a buffer that does not lie inside the whole image, an inverted region,
// a missing rgba buffer, a pixel aspect that is not above 0, option values out of range,
// a camera whose position equals its target or whose field of view lies outside
// (0, 180), and scene objects that cannot be rendered (radius not above 0, a zero plane
// normal or light direction, a box with min above max).
bool render(const Scene& scene, const Camera& camera, Target& target, const Options& options, Progress& progress);

}  // namespace paravelle::host::standalone::raytrace
