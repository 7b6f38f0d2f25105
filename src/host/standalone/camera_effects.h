#pragma once
// The host's multipass camera effects. Both render a frame as N passes whose
// average is the result:
// - depth of field moves the viewpoint over the lens disc (a deterministic Vogel
//   spiral, pass 0 at the centre) and keeps it aimed at the point in focus; each
//   pass's ViewParams is that pinhole view: affineTM at the lens sample, aperture 0,
//   focalDistance the distance to the point in focus;
// - motion blur spreads the passes' times evenly over time_spread frames centred on
//   the frame's time; each pass's ViewParams is the camera's view at the pass's time.
// AccumulateBitmap keeps a running average: pass p contributes 1/(p+1).

#include <memory>

#include "host/scene.h"
#include "host/standalone/scene_model.h"

namespace paravelle::host::standalone {

std::unique_ptr<IMultiPassCameraEffect> make_camera_effect(const MultipassSpec& spec, int ticks_per_frame);

// dest = dest * p/(p+1) + source / (p+1) over the pixels both bitmaps have.
void accumulate_running_average(Bitmap* destination, Bitmap* source, int pass);

}  // namespace paravelle::host::standalone
