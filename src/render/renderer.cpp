#include "render/renderer.h"

#include <cwchar>
#include <limits>
#include <stdexcept>

#include "diag/host_call_trap.h"
#include "diag/log_file.h"
#include "host/scene.h"
#include "job/farm_connection.h"
#include "render/bitmaps.h"
#include "render/progress_callback.h"
#include "transport/number_format.h"
#include "transport/text.h"

namespace paravelle::render {
namespace {

using job::JobState;
using job::RenderElementSlot;

// A camera of this class keeps its multipass effect on a child node named "Multipass"
// when the scene renders with the renderer of kind A.
constexpr Class_ID kHolderCameraClass{0x399ee5f2, 0x584a71a8};
// This effect renders in one pass; only the renderer of kind C runs it as a multipass.
constexpr Class_ID kOnePassEffectClass{0x6cc9546e, 0x0b1961b9};
constexpr wchar_t kHolderNodeName[] = L"Multipass";

// A trapped renderer call's error text with the crash report it left.
[[noreturn]] void fail_with_trap_text(const JobState& state, const std::string& error_text) {
  throw std::runtime_error(error_text + "\n" + state.lastCrashReport);
}

void log_to_farm(win32::simple_socket& connection, const std::string& line) {
  job::LogToFarm(connection, to_wstring(line));
}

void multipass_off(JobState& state) {
  state.multipassEnabled = false;
  state.multipassPassCount = 1;
}

// The effect of a camera object, when the camera has it switched on and the farm has not
// switched multipass off. A camera that reports its effect on but has none renders
// without it rather than failing on a missing object.
IMultiPassCameraEffect* enabled_effect(const JobState& state, CameraObject& camera, TimeValue t) {
  Interval valid;
  if (state.disableMultipass || camera.GetMultiPassEffectEnabled(t, valid) == 0) return nullptr;
  return camera.GetIMultiPassCameraEffect();
}

// The last child named exactly "Multipass", or null.
INode* multipass_holder(INode& camera) {
  INode* holder = nullptr;
  for (int i = 0; i < camera.NumberOfChildren(); ++i) {
    INode* const child = camera.GetChildNode(i);
    if (child && std::wcscmp(child->GetName(), kHolderNodeName) == 0) holder = child;
  }
  return holder;
}

// The effect lives on the holder node: the camera's own effect does not count.
void decide_multipass_from_holder(JobState& state, TimeValue t, win32::simple_socket& connection) {
  state.multipassHolderNode = multipass_holder(*state.renderCamera);
  if (!state.multipassHolderNode) return multipass_off(state);
  const std::wstring holder_name = state.multipassHolderNode->GetName();
  job::LogToFarm(connection, L"Multipass plugin holder camera node " + holder_name);
  state.multipassHolderObject = state.multipassHolderNode->EvalWorldState(t, true);
  auto* const holder = dynamic_cast<CameraObject*>(state.multipassHolderObject);
  if (!holder)
    throw std::runtime_error("Multipass plugin holder camera node " + to_string(holder_name) + " is not a camera node");
  IMultiPassCameraEffect* const effect = enabled_effect(state, *holder, t);
  if (!effect) return multipass_off(state);
  state.multipassEnabled = true;
  state.multipassEffect = effect;
  state.multipassPassCount = effect->TotalPasses(t);
}

void decide_multipass_from_camera(JobState& state, TimeValue t) {
  IMultiPassCameraEffect* const effect = enabled_effect(state, *state.renderCameraObject, t);
  if (!effect) return multipass_off(state);
  state.multipassEnabled = true;
  state.multipassEffect = effect;
  if (effect->ClassID() == kOnePassEffectClass) {
    state.multipassPassCount = 1;
    state.multipassEnabled = state.rendererIsTypeC;
  } else {
    state.multipassPassCount = effect->TotalPasses(t);
  }
}

int open_for_viewport(JobState& state, win32::simple_socket& connection, std::string& error_text) {
  log_to_farm(connection, state.viewportLocked
                              ? "Rendering LOCKED viewport at index " + format_number(state.lockedViewportIndex)
                              : std::string("Rendering viewport"));
  diag::log_line("Rendering view at address " + format_pointer(state.renderViewport));
  multipass_off(state);
  log_to_farm(connection, "Opening renderer");
  return CallOpenCurRenderer(state, nullptr, state.renderViewport, state.regionType,
                             state.coreInterface->GetRendWidth(), state.coreInterface->GetRendHeight(), error_text);
}

int open_for_camera(JobState& state, std::int32_t frame, win32::simple_socket& connection, std::string& error_text) {
  const std::wstring camera_name = state.renderCamera->GetName();
  job::LogToFarm(connection, L"Rendering camera node " + camera_name);
  const TimeValue t = frame_time(frame);
  log_to_farm(connection, "Checking multipass info for frame " + format_number(std::int32_t{t / GetTicksPerFrame()}));
  state.renderCameraObject = dynamic_cast<CameraObject*>(state.renderCamera->EvalWorldState(t, true));
  if (!state.renderCameraObject)
    throw std::runtime_error("Camera node " + to_string(camera_name) +
                             " is not a camera node - check that there are not other nodes or groups in the scene "
                             "that have the same name as the camera");
  if (state.rendererIsTypeA && state.renderCameraObject->ClassID() == kHolderCameraClass)
    decide_multipass_from_holder(state, t, connection);
  else
    decide_multipass_from_camera(state, t);
  log_to_farm(connection, "Opening renderer");
  return CallOpenCurRenderer(state, state.renderCamera, nullptr, state.regionType, state.coreInterface->GetRendWidth(),
                             state.coreInterface->GetRendHeight(), error_text);
}

// After a pass that failed, the element bitmaps of the frame hold nothing worth keeping.
void delete_element_bitmaps(JobState& state) {
  for (RenderElementSlot& slot : state.renderElements) {
    if (!slot.output || !slot.output->bm) continue;
    slot.output->bm->DeleteThis();
    slot.output->bm = nullptr;
  }
}

void require_accumulators(const JobState& state) {
  const std::size_t count = state.renderElements.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (!state.renderElements[i].accumulator)
      throw std::runtime_error("Failed to allocate the accumulation bitmap of render element " + std::to_string(i + 1) +
                               " of " + std::to_string(count) + ": TheManager->Create() returned NULL");
  }
}

// One pass into the pass bitmap, then its accumulation into the main bitmap and the
// element accumulators.
void render_pass(JobState& state, std::int32_t pass, TimeValue t, Bitmap* main_bitmap, OwnedBitmap& pass_bitmap,
                 win32::simple_socket& connection) {
  const std::int32_t passes = state.multipassPassCount;
  const std::string of_passes = format_number(pass + 1) + " of " + format_number(passes);
  if (state.showFrameBuffer && !state.rendererIsTypeA)
    pass_bitmap->Display(nullptr, BMM_CENTRE_POSITION, 0, 1, nullptr, nullptr);
  ParavelleRenderCallback callback(connection, L"");
  callback.rendererFlag = state.rendererIsTypeB;
  log_to_farm(connection, "  Rendering pass " + of_passes);
  callback.SetPass(pass + 1, passes);

  TimeValue tp = t;
  ViewParams* const view = state.multipassEffect->Apply(state.renderCamera, state.renderCameraObject, pass, tp);
  if (render_trapped(state, tp, pass_bitmap.get(), callback, view, connection, "  ") == 0) {
    pass_bitmap.reset();
    delete_element_bitmaps(state);
    log_to_farm(connection, "  Failure");
    throw std::runtime_error("Failed to render the frame for pass " + of_passes);
  }

  log_to_farm(connection, "  Accumulating bitmap");
  state.multipassEffect->AccumulateBitmap(main_bitmap, pass_bitmap.get(), pass, tp);
  const std::size_t elements = state.renderElements.size();
  for (std::size_t i = 0; i < elements; ++i) {
    const RenderElementSlot& slot = state.renderElements[i];
    log_to_farm(connection,
                "  Accumulating render element " + std::to_string(i + 1) + " of " + std::to_string(elements));
    state.multipassEffect->AccumulateBitmap(slot.accumulator, slot.output ? slot.output->bm : nullptr, pass, tp);
  }
  log_to_farm(connection, "  Success");
}

}  // namespace

TimeValue frame_time(std::int32_t frame) {
  const std::int32_t ticks_per_frame = GetTicksPerFrame();
  const std::int64_t ticks = std::int64_t{ticks_per_frame} * frame;
  if (ticks < std::numeric_limits<TimeValue>::min() || ticks > std::numeric_limits<TimeValue>::max())
    throw std::runtime_error("Frame " + format_number(frame) + " at " + format_number(ticks_per_frame) +
                             " ticks per frame lies outside the scene's time range.");
  return static_cast<TimeValue>(ticks);
}

RECT region_rect(const JobState& state) {
  return RECT{state.regionLeft, state.regionTop, state.regionRight, state.regionBottom};
}

void SetupRenderParameters(JobState& state, std::int32_t frame, win32::simple_socket& connection) {
  if (state.rendererOpen) return;
  // The frame's own check of a running job comes after the renderer is opened; a frame
  // asked for before any job started (a script's debug render) has no host interface to
  // open it with, so it fails here with that check's text.
  if (!state.coreInterface)
    throw std::runtime_error("RenderFrame called when consistency check flag jobRunning was not set");
  log_to_farm(connection, "Setting up render parameters");
  state.coreInterface->SetupRendParams(state.renderParams, nullptr, state.regionType);
  std::string error_text;
  const int result = state.renderCamera ? open_for_camera(state, frame, connection, error_text)
                                        : open_for_viewport(state, connection, error_text);
  if (!error_text.empty()) fail_with_trap_text(state, error_text);
  if (result == 0) throw std::runtime_error("Failed to open the max renderer.");
  log_to_farm(connection, state.multipassEnabled ? "Multipass enabled" : "Multipass disabled");
  log_to_farm(connection, "Rendering " + format_number(state.multipassPassCount) + " passes");
  state.rendererOpen = true;
}

void CloseRenderer(JobState& state) {
  if (!state.rendererOpen) return;
  std::string error_text;
  CallCloseCurRenderer(state, error_text);
  if (!error_text.empty()) fail_with_trap_text(state, error_text);
  state.rendererOpen = false;
}

void render_multipass(JobState& state, TimeValue t, Bitmap* main_bitmap, win32::simple_socket& connection) {
  log_to_farm(connection, "Rendering multipass effect:");
  if (!state.multipassEffect) throw std::runtime_error("Multipass render without a multipass effect");
  OwnedBitmap pass_bitmap(TheManager->Create(&state.outputBitmapInfo));
  if (!pass_bitmap)
    throw std::runtime_error("Failed to allocate the pass bitmap of the multipass render: "
                             "TheManager->Create() returned NULL");
  require_accumulators(state);
  for (std::int32_t pass = 0; pass < state.multipassPassCount; ++pass)
    render_pass(state, pass, t, main_bitmap, pass_bitmap, connection);
  if (state.showFrameBuffer && !state.rendererIsTypeA) pass_bitmap->UnDisplay();
  pass_bitmap.reset();
  state.multipassEffect->PostRender();
}

int render_trapped(JobState& state, TimeValue t, Bitmap* bitmap, RendProgressCallback& callback, ViewParams* view,
                   win32::simple_socket& connection, const std::string& indent) {
  RECT region = region_rect(state);
  std::string error_text;
  const int result = CallCurRendererRenderFrame(state, t, bitmap, &callback, 1.0f, view,
                                                state.regionRendering ? &region : nullptr, error_text);
  log_to_farm(connection, indent + "CallCurRendererRenderFrame returned code " + (result != 0 ? "1" : "0"));
  if (!error_text.empty()) fail_with_trap_text(state, error_text);
  return result;
}

int CallOpenCurRenderer(JobState& state, INode* camera, ViewExp* view, int rendType, int width, int height,
                        std::string& error_text) {
  return diag::run_trapped_host_call(
      "Trapped SEH Exception in OpenCurRenderer(): ", error_text, state.lastCrashReport, 0,
      [&] { return state.coreInterface->OpenCurRenderer(camera, view, rendType, width, height); });
}

void CallCloseCurRenderer(JobState& state, std::string& error_text) {
  diag::run_trapped_host_call("Trapped SEH Exception in CloseCurRenderer(): ", error_text, state.lastCrashReport,
                              [&] { state.coreInterface->CloseCurRenderer(); });
}

int CallCurRendererRenderFrame(JobState& state, TimeValue t, Bitmap* bitmap, RendProgressCallback* callback,
                               float frameDuration, ViewParams* view, RECT* region, std::string& error_text) {
  return diag::run_trapped_host_call(
      "Trapped SEH Exception in CurRendererRenderFrame(): ", error_text, state.lastCrashReport, 0,
      [&] { return state.coreInterface->CurRendererRenderFrame(t, bitmap, callback, frameDuration, view, region); });
}

}  // namespace paravelle::render
