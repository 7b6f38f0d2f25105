#include "host/standalone/camera_effects.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "host/bitmap.h"
#include "host/standalone/camera_view.h"
#include "host/standalone/loaded_scene.h"

namespace paravelle::host::standalone {
namespace {

class AccumulatingEffect : public IMultiPassCameraEffect {
 public:
  explicit AccumulatingEffect(const MultipassSpec& spec) : spec_(spec) {}
  Class_ID ClassID() const override { return spec_.class_id; }
  int TotalPasses(TimeValue) override { return spec_.passes; }
  void AccumulateBitmap(Bitmap* destination, Bitmap* source, int pass, TimeValue) override {
    accumulate_running_average(destination, source, pass);
  }
  void PostRender() override {}

 protected:
  const MultipassSpec& spec_;
  ViewParams view_;  // what Apply returns; valid until the next Apply
};

class DepthOfFieldEffect : public AccumulatingEffect {
 public:
  using AccumulatingEffect::AccumulatingEffect;

  ViewParams* Apply(INode*, CameraObject* camera_object, int pass, TimeValue& t) override {
    const auto* camera = dynamic_cast<const StandaloneCamera*>(camera_object);
    if (!camera) return nullptr;
    const CameraView centre = camera->view_at(t);
    const ViewBasis basis = view_basis(centre.position, centre.target);
    const double focus = spec_.focal_distance > 0 ? spec_.focal_distance : length(centre.target - centre.position);
    const Vector3 in_focus = centre.position + basis.forward * focus;

    const double golden_angle = std::numbers::pi * (3.0 - std::sqrt(5.0));
    const double radius = spec_.aperture * std::sqrt(static_cast<double>(pass) / std::max(1, spec_.passes));
    const double angle = pass * golden_angle;
    CameraView sample = centre;
    sample.position =
        centre.position + basis.right * (radius * std::cos(angle)) + basis.up * (radius * std::sin(angle));
    sample.target = in_focus;
    sample.aperture = 0;
    sample.focal_distance = length(in_focus - sample.position);
    view_ = to_view_params(sample);
    return &view_;
  }
};

class MotionBlurEffect : public AccumulatingEffect {
 public:
  MotionBlurEffect(const MultipassSpec& spec, int ticks_per_frame)
      : AccumulatingEffect(spec), ticks_per_frame_(ticks_per_frame) {}

  ViewParams* Apply(INode*, CameraObject* camera_object, int pass, TimeValue& t) override {
    if (spec_.passes > 1) {
      const double offset = spec_.time_spread * (static_cast<double>(pass) / (spec_.passes - 1) - 0.5);
      t += static_cast<TimeValue>(std::lround(offset * ticks_per_frame_));
    }
    const auto* camera = dynamic_cast<const StandaloneCamera*>(camera_object);
    if (!camera) return nullptr;
    view_ = to_view_params(camera->view_at(t));
    return &view_;
  }

 private:
  int ticks_per_frame_;
};

}  // namespace

std::unique_ptr<IMultiPassCameraEffect> make_camera_effect(const MultipassSpec& spec, int ticks_per_frame) {
  if (spec.kind == MultipassSpec::Kind::motion_blur) return std::make_unique<MotionBlurEffect>(spec, ticks_per_frame);
  return std::make_unique<DepthOfFieldEffect>(spec);
}

void accumulate_running_average(Bitmap* destination, Bitmap* source, int pass) {
  if (!destination || !source || pass < 0) return;
  BitmapStorage* to = destination->Storage();
  BitmapStorage* from = source->Storage();
  if (!to || !from) return;
  const int width = std::min(to->Width(), from->Width());
  const int height = std::min(to->Height(), from->Height());
  const float keep = static_cast<float>(pass) / static_cast<float>(pass + 1);
  const float add = 1.0f / static_cast<float>(pass + 1);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      BMM_Color_fl sum, sample;
      to->GetPixel(x, y, sum);
      from->GetPixel(x, y, sample);
      if (pass == 0) {
        // The first pass replaces whatever the destination held, NaN included.
        to->PutPixel(x, y, sample);
        continue;
      }
      sum.r = sum.r * keep + sample.r * add;
      sum.g = sum.g * keep + sample.g * add;
      sum.b = sum.b * keep + sample.b * add;
      sum.a = sum.a * keep + sample.a * add;
      to->PutPixel(x, y, sum);
    }
  }
}

}  // namespace paravelle::host::standalone
