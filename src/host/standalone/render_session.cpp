#include "host/standalone/render_session.h"

#include <algorithm>
#include <exception>

#include "host/standalone/loaded_scene.h"
#include "host/standalone/frame_buffers.h"
#include "host/standalone/wide_text.h"

namespace paravelle::host::standalone {
namespace {

// Engine progress, forwarded to the host callback from the engine's worker threads.
class CallbackProgress : public raytrace::Progress {
 public:
  explicit CallbackProgress(RendProgressCallback* callback) : callback_(callback) {}
  void title(const std::wstring& text) override {
    if (callback_) callback_->SetTitle(text.c_str());
  }
  bool tile_done(int done, int total) override {
    return !callback_ || callback_->Progress(done, total) != RENDPROG_ABORT;
  }

 private:
  RendProgressCallback* callback_;
};

RECT clamp_region(const RECT& region, int width, int height) {
  RECT clamped;
  clamped.left = std::clamp(region.left, 0, width);
  clamped.top = std::clamp(region.top, 0, height);
  clamped.right = std::clamp(region.right, 0, width);
  clamped.bottom = std::clamp(region.bottom, 0, height);
  return clamped;
}

bool wants_extra_channels(LoadedScene& scene) {
  StandaloneRenderElementMgr& manager = scene.elements();
  if (!manager.GetElementsActive()) return false;
  return std::any_of(manager.elements().begin(), manager.elements().end(),
                     [](const auto& element) { return element->IsEnabled() && element->output().bm; });
}

void fill_elements(LoadedScene& scene, const FrameBuffers& buffers, const PixelArea& area) {
  StandaloneRenderElementMgr& manager = scene.elements();
  if (!manager.GetElementsActive()) return;
  for (const auto& element : manager.elements())
    if (element->IsEnabled() && element->output().bm)
      buffers.copy_element(element->spec(), *element->output().bm, area);
}

}  // namespace

void RenderSession::open(INode* camera, ViewExp* view, int rend_type, int width, int height) {
  open_ = true;
  camera_ = camera;
  view_ = view;
  rend_type_ = rend_type;
  width_ = width;
  height_ = height;
}

bool RenderSession::view_at(TimeValue t, ViewParams* view, CameraView& out, std::wstring& problem) const {
  if (view) {
    out = from_view_params(*view);
    return true;
  }
  INode* camera_node = camera_;
  if (!camera_node && view_) {
    camera_node = view_->GetViewCamera();
    if (!camera_node) {
      const auto* viewport = dynamic_cast<const StandaloneViewport*>(view_);
      if (!viewport) {
        problem = L"the viewport does not belong to the standalone host";
        return false;
      }
      out = viewport->own_view();
      return true;
    }
  }
  const auto* node = dynamic_cast<const SceneNode*>(camera_node);
  if (!node) {
    problem = L"the renderer was opened without a camera or viewport of this scene";
    return false;
  }
  if (!node->camera()) {
    problem = std::wstring(L"node \"") + node->GetName() + L"\" is not a camera";
    return false;
  }
  out = node->camera()->view_at(t);
  return true;
}

int RenderSession::render(LoadedScene& scene, TimeValue t, Bitmap* bitmap, RendProgressCallback* progress,
                          ViewParams* view, RECT* region, std::wstring& problem) const {
  problem.clear();
  if (!open_) return problem = L"the renderer is not open", 0;
  if (!bitmap || bitmap->Width() < 1 || bitmap->Height() < 1) return problem = L"no bitmap to render into", 0;
  CameraView camera_view;
  if (!view_at(t, view, camera_view, problem)) return 0;

  const bool crop = rend_type_ == 4 && region;
  raytrace::Target target{};
  target.full_width = crop ? width_ : bitmap->Width();
  target.full_height = crop ? height_ : bitmap->Height();
  target.pixel_aspect = scene.spec().render.pixel_aspect;
  PixelArea area{0, 0, bitmap->Width(), bitmap->Height()};
  if (region) {
    const RECT clamped = clamp_region(*region, target.full_width, target.full_height);
    if (clamped.right <= clamped.left || clamped.bottom <= clamped.top)
      return problem = L"the render region is empty", 0;
    target.region = clamped;
    target.use_region = true;
    if (crop) {
      target.origin_x = clamped.left;
      target.origin_y = clamped.top;
      area.right = std::min({area.right, clamped.right - clamped.left, target.full_width - clamped.left});
      area.bottom = std::min({area.bottom, clamped.bottom - clamped.top, target.full_height - clamped.top});
    } else {
      area = {clamped.left, clamped.top, clamped.right, clamped.bottom};
    }
  }

  // A cropped bitmap larger than what is left of the image past the region's corner
  // gets only the part that lies inside the image.
  const int buffer_width = crop ? std::min(bitmap->Width(), target.full_width - target.origin_x) : bitmap->Width();
  const int buffer_height = crop ? std::min(bitmap->Height(), target.full_height - target.origin_y) : bitmap->Height();
  FrameBuffers buffers(buffer_width, buffer_height, wants_extra_channels(scene));
  buffers.attach(target);
  const RenderSettingsSpec& settings = scene.spec().render;
  const raytrace::Options options{settings.samples_per_axis, settings.threads, settings.tile_size};
  CallbackProgress forward(progress);
  const raytrace::Scene world = engine_scene_at(scene.spec(), frame_at(t, scene.spec().ticks_per_frame));
  try {
    // The engine reports L"Rendering image..." itself before the first tile.
    if (!raytrace::render(world, engine_camera(camera_view), target, options, forward)) return 0;
  } catch (const std::exception& error) {
    // Bad input (a camera at its own target, say) or a throwing progress callback: the
    // frame fails; nothing escapes into the caller, which expects a result code.
    problem = L"the render failed: " + wide_text::from_utf8_replacing(error.what());
    return 0;
  }

  buffers.copy_beauty(*bitmap, area);
  fill_elements(scene, buffers, area);
  return 1;
}

}  // namespace paravelle::host::standalone
