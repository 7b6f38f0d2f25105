#include "render/frame_pipeline.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "diag/host_call_trap.h"
#include "diag/log_file.h"
#include "host/core.h"
#include "host/files.h"
#include "host/platform.h"
#include "job/farm_connection.h"
#include "render/bitmaps.h"
#include "render/black_frame.h"
#include "render/job_start.h"
#include "render/output_files.h"
#include "render/progress_callback.h"
#include "render/renderer.h"
#include "transport/number_format.h"
#include "transport/text.h"

namespace paravelle::render {
namespace {

using job::JobState;
using job::LogToFarm;
using job::RenderElementSlot;
using job::WarnToFarm;

// A frame's file name lives in a MAX_PATH buffer on the host it was written for.
constexpr std::size_t kLongestFileName = 259;
constexpr int kRegionCrop = 4;

// Before any job has started there is no job interface yet; the host's own serves.
Interface& core_of(const JobState& state) {
  if (state.coreInterface) return *state.coreInterface;
  return *GetCOREInterface8();
}

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

bool saves_own_output(Interface& core) {
  const Renderer* renderer = core.GetCurrentRenderer(true);
  return renderer && renderer->HasRequirement(MAX_REQUIREMENT_SAVES_OWN_OUTPUT);
}

bool is_ignored(const JobState& state, const IRenderElement* element) {
  const wchar_t* name = element ? element->ElementName() : nullptr;
  const std::wstring text = name ? name : L"";
  const auto& ignored = state.ignoredRenderElementNames;
  return std::find(ignored.begin(), ignored.end(), text) != ignored.end();
}

// The number a frame's files carry; a sum beyond 32 bits would wrap onto another frame's
// files, so it is refused.
std::int32_t file_frame_number(const JobState& state, std::int32_t frame) {
  const std::int64_t number = std::int64_t{frame} + state.frameNumberBase;
  if (number < std::numeric_limits<std::int32_t>::min() || number > std::numeric_limits<std::int32_t>::max()) {
    throw std::runtime_error("Frame " + format_number(frame) + " with the frame number base " +
                             format_number(state.frameNumberBase) + " gives a file number outside 32 bits");
  }
  return static_cast<std::int32_t>(number);
}

// A frame's file name, padded with its number unless the job keeps names as they are.
std::wstring frame_file_name(const JobState& state, const std::wstring& name, std::int32_t frame) {
  const std::wstring result =
      state.removePadding || name.empty() ? name : FrameOutputName(name, file_frame_number(state, frame));
  if (result.size() > kLongestFileName) {
    throw std::runtime_error("The output file name \"" + to_string(result) + "\" is longer than " +
                             std::to_string(kLongestFileName) + " characters");
  }
  return result;
}

// The name of a frame when the render settings do not save: it is never written to, but
// the frame still needs one (for the skip test and the log). The thread's id sets it apart
// from the names of the other nodes running on the machine, the count from the names of
// this node's earlier openings; neither depends on what anyone did to the C library's
// random generator.
std::wstring placeholder_output_name() {
  static std::atomic<std::uint32_t> openings{0};
  std::wstring folder = host::files::common_app_data_folder();
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder + L"Orvalink\\taskmere\\temp\\temp_filename" + std::to_wstring(host::current_thread_id()) + L"_" +
         std::to_wstring(++openings) + L".bmp";
}

// What holds while the renderer stays open: the output description and name, and the
// enabled render elements with their descriptions.
void settle_output_settings(JobState& state, Interface& core) {
  state.outputBitmapInfo.Copy(&core.GetRendFileBI());
  PrepareBitmapInfo(state.outputBitmapInfo);
  state.renderOutputName = core.GetRendSaveFile() ? name_of(state.outputBitmapInfo) : placeholder_output_name();

  state.renderElements.clear();
  IRenderElementMgr* manager = core.GetRenderElementMgr();
  if (!manager || !manager->GetElementsActive()) return;
  for (int i = 0; i < manager->NumRenderElements(); ++i) {
    IRenderElement* element = manager->GetRenderElement(i);
    if (!element || !element->IsEnabled()) continue;
    RenderElementSlot& slot = state.renderElements.emplace_back();
    slot.element = element;
    element->GetPBBitmap(slot.output);
    if (slot.output) PrepareBitmapInfo(slot.output->bi);
  }
}

// Region crop: every image is exactly the (padded) region.
void crop_to_region(JobState& state) {
  const std::int64_t width = std::int64_t{state.regionRight} - state.regionLeft;
  const std::int64_t height = std::int64_t{state.regionBottom} - state.regionTop;
  check_image_size("region crop", width, height);
  const auto crop = [&](BitmapInfo& info) {
    info.SetWidth(static_cast<int>(width));
    info.SetHeight(static_cast<int>(height));
  };
  crop(state.outputBitmapInfo);
  for (const RenderElementSlot& slot : state.renderElements) {
    if (slot.output) crop(slot.output->bi);
  }
}

Bitmap* create_main_bitmap(JobState& state, FrameScope& scope) {
  Bitmap* bitmap = TheManager->Create(&state.outputBitmapInfo);
  if (!bitmap) throw std::runtime_error("Failed to allocate Bitmap: TheManager->Create() return NULL");
  scope.keep_main_bitmap(bitmap);
  bitmap->PrepareGChannels(&state.outputBitmapInfo);
  diag::log_line("Bitmap " + format_pointer(bitmap));
  return bitmap;
}

// Each element gets its frame's file name and a bitmap to render into. An element the
// name list has no entry for is an element without a file name.
void prepare_element_bitmaps(JobState& state, std::int32_t frame, FrameScope& scope) {
  const std::size_t count = state.renderElements.size();
  for (std::size_t i = 0; i < count; ++i) {
    PBBitmap* output = state.renderElements[i].output;
    if (!output) throw std::runtime_error("Render element " + std::to_string(i) + " has no output description");
    std::wstring name;
    if (!state.useRenderElementFilenames) {
      name = name_of(output->bi);
    } else if (i < state.renderElementFilenames.size()) {
      name = state.renderElementFilenames[i];
    }
    scope.name_element(i, name, frame_file_name(state, name, frame));
    output->bm = TheManager->Create(&output->bi);
    if (!output->bm) {
      throw std::runtime_error("Failed to allocate the bitmap of render element " + std::to_string(i + 1) + " of " +
                               std::to_string(count) + ": TheManager->Create() returned NULL");
    }
    diag::log_line("Element Bitmap " + format_pointer(output->bm));
  }
}

void create_accumulators(JobState& state) {
  const std::size_t count = state.renderElements.size();
  for (std::size_t i = 0; i < count; ++i) {
    RenderElementSlot& slot = state.renderElements[i];
    slot.accumulator = TheManager->Create(&slot.output->bi);
    if (!slot.accumulator) {
      throw std::runtime_error("Failed to allocate the accumulation bitmap of render element " + std::to_string(i + 1) +
                               " of " + std::to_string(count) + ": TheManager->Create() returned NULL");
    }
  }
}

// The JPEG copy is a convenience: a folder that cannot be made switches it off for the
// job, and the frame goes on.
void check_jpeg_output_path(JobState& state, win32::simple_socket& connection) {
  if (state.jpegOutputPath.empty()) {
    LogToFarm(connection, L"No jpeg output path specified, disabling jpeg output");
    state.useJpegOutput = false;
    return;
  }
  try {
    if (!directory_exists(state.jpegOutputPath)) {
      LogToFarm(connection, L"Creating jpeg output path: " + state.jpegOutputPath);
      CreateDirectories(state.jpegOutputPath);
    }
  } catch (const std::exception& error) {
    // The farm's line stays as farms know it; the reason goes to the node's log.
    diag::log_line("Could not create jpeg output path \"" + to_string(state.jpegOutputPath) + "\": " + error.what());
    LogToFarm(connection, L"Could not create jpeg output path, disabling jpeg output");
    state.useJpegOutput = false;
  }
}

void check_output_paths(JobState& state, Interface& core, win32::simple_socket& connection) {
  LogToFarm(connection, L"Checking output paths");
  if (core.GetRendSaveFile()) {
    CreateOutputPath(state.outputBitmapInfo, connection);
    if (state.useJpegOutput) check_jpeg_output_path(state, connection);
  }
  if (!state.renderElementsEnabled) return;
  for (const RenderElementSlot& slot : state.renderElements) {
    if (!is_ignored(state, slot.element)) CreateOutputPath(slot.output->bi, connection);
  }
}

// Hides the frame buffer window again on every way out of the render.
struct FrameBufferWindow {
  Bitmap* bitmap = nullptr;
  ~FrameBufferWindow() {
    if (bitmap) bitmap->UnDisplay();
  }
};

void render_single(JobState& state, TimeValue t, Bitmap* bitmap, win32::simple_socket& connection) {
  ParavelleRenderCallback callback(connection, L"");
  callback.rendererFlag = state.rendererIsTypeB;
  FrameBufferWindow window;
  if (state.showFrameBuffer && !state.rendererIsTypeA) {
    bitmap->Display(nullptr, BMM_CENTRE_POSITION, 0, 1, nullptr, nullptr);
    window.bitmap = bitmap;
  }
  if (render_trapped(state, t, bitmap, callback, nullptr, connection, "") == 0)
    throw std::runtime_error("Failed to render the frame.");
}

void check_black(const JobState& state, const std::wstring& name, Bitmap* bitmap, win32::simple_socket& connection) {
  LogToFarm(connection, L"Checking if " + name + L" is black");
  CheckBlackFrame(state, bitmap, connection);
}

void write_main_output(JobState& state, Bitmap* bitmap, win32::simple_socket& connection) {
  if (state.regionRendering) return WriteRegionOutput(state, bitmap, state.outputBitmapInfo, connection);
  WriteOutputFile(state, bitmap, state.outputBitmapInfo, connection);
  if (!state.useJpegOutput) return;
  try {
    WriteJpegOutput(state, bitmap, state.outputBitmapInfo, connection);
  } catch (const std::exception& error) {
    LogToFarm(connection, L"Failed to save jpeg output because: " + to_wstring(error.what()));
  }
}

void write_render_elements(JobState& state, win32::simple_socket& connection) {
  LogToFarm(connection, L"Checking render elements");
  for (std::size_t i = 0; i < state.renderElements.size(); ++i) {
    const RenderElementSlot& slot = state.renderElements[i];
    if (is_ignored(state, slot.element)) continue;
    PBBitmap& output = *slot.output;
    Bitmap* source = output.bm;
    if (state.multipassEnabled) {
      // The passes were accumulated; the element's own bitmap only held the last one.
      if (output.bm) output.bm->DeleteThis();
      output.bm = nullptr;
      source = slot.accumulator;
    }
    if (!source) continue;
    const std::wstring name = name_of(output.bi);
    if (state.failOnBlackFrames && state.blackFramesCheckRenderElements) check_black(state, name, source, connection);
    if (name.empty()) {
      WarnToFarm(connection, L"Not saving render element " + std::to_wstring(i) + L" because its output path is empty");
    } else if (state.regionRendering) {
      WriteRegionOutput(state, source, output.bi, connection);
    } else {
      WriteOutputFile(state, source, output.bi, connection);
    }
  }
}

// From the frame's names to its files. False when the frame was skipped; the scope puts
// the frame's bitmaps and names back.
bool render_and_write(JobState& state, Interface& core, TimeValue t, std::int32_t frame,
                      win32::simple_socket& connection, FrameScope& scope) {
  const std::wstring name =
      frame_file_name(state, state.useOutputImageFilename ? state.outputImageFilename : state.renderOutputName, frame);
  scope.name_output(name);
  if (core.GetSkipRenderedFrames() && file_exists(name)) {
    LogToFarm(connection, L"Skipping frame " + quoted(name) + L" because it already exists");
    return false;
  }
  LogToFarm(connection, L"Rendering frame " + quoted(name));
  Bitmap* bitmap = create_main_bitmap(state, scope);
  prepare_element_bitmaps(state, frame, scope);
  LogToFarm(connection, L"Rendering " + std::to_wstring(state.renderElements.size()) + L" render elements");

  if (!state.rendererOpen) SetupRenderParameters(state, frame, connection);
  if (state.multipassEnabled) create_accumulators(state);
  if (!state.jobRunning)
    throw std::runtime_error("RenderFrame called when consistency check flag jobRunning was not set");
  check_output_paths(state, core, connection);
  ReportDefaultActions(state, connection);

  LogToFarm(connection, L"Calling renderer");
  if (state.multipassEnabled) {
    render_multipass(state, t, bitmap, connection);
  } else {
    render_single(state, t, bitmap, connection);
  }
  LogToFarm(connection, L"Render done");

  if (state.failOnBlackFrames) check_black(state, name, bitmap, connection);
  if (core.GetRendSaveFile() && !saves_own_output(core)) write_main_output(state, bitmap, connection);
  if (state.renderElementsEnabled) write_render_elements(state, connection);
  return true;
}

}  // namespace

FrameScope::FrameScope(JobState& state) : state_(state) {}

FrameScope::~FrameScope() { restore(); }

void FrameScope::keep_main_bitmap(Bitmap* bitmap) { mainBitmap_ = bitmap; }

void FrameScope::name_output(const std::wstring& name) {
  state_.outputBitmapInfo.SetName(name.c_str());
  outputNamed_ = true;
}

void FrameScope::name_element(std::size_t index, const std::wstring& saved, const std::wstring& name) {
  savedElementNames_.resize(std::max(savedElementNames_.size(), index + 1));
  savedElementNames_[index] = saved;
  state_.renderElements[index].output->bi.SetName(name.c_str());
}

void FrameScope::restore() {
  if (mainBitmap_) mainBitmap_->DeleteThis();
  mainBitmap_ = nullptr;
  ReleaseRenderElementBitmaps(state_);
  if (outputNamed_) state_.outputBitmapInfo.SetName(state_.renderOutputName.c_str());
  outputNamed_ = false;
  for (std::size_t i = 0; i < savedElementNames_.size() && i < state_.renderElements.size(); ++i) {
    if (PBBitmap* output = state_.renderElements[i].output) output->bi.SetName(savedElementNames_[i].c_str());
  }
  savedElementNames_.clear();
}

void ReleaseRenderElementBitmaps(JobState& state) {
  for (RenderElementSlot& slot : state.renderElements) {
    if (slot.output && slot.output->bm) slot.output->bm->DeleteThis();
    if (slot.output) slot.output->bm = nullptr;
    if (slot.accumulator) slot.accumulator->DeleteThis();
    slot.accumulator = nullptr;
  }
}

void RenderFrame(JobState& state, std::int32_t frame, win32::simple_socket& connection, FrameScope& scope) {
  LogToFarm(connection, L"Render frame " + format_wide_number(frame));
  Interface& core = core_of(state);
  const TimeValue t = frame_time(frame);
  core.SetTime(t, 1);
  state.writtenOutputFiles.clear();
  if (state.overrideSaveFile) {
    LogToFarm(connection, std::wstring(L"Overriding save file option to ") + (state.saveFile ? L"1" : L"0"));
    core.SetRendSaveFile(state.saveFile);
  }
  if (!state.rendererOpen) settle_output_settings(state, core);
  if (state.regionRendering && state.regionType == kRegionCrop) crop_to_region(state);
  const bool rendered = render_and_write(state, core, t, frame, connection, scope);
  scope.restore();
  if (rendered && state.restartRendererMode) {
    // The next frame opens the renderer and collects the elements again; the list goes
    // first, so a close that fails never leaves slots of a renderer that is gone.
    state.renderElements.clear();
    CloseRenderer(state);
  }
}

void RenderFrame(JobState& state, std::int32_t frame, win32::simple_socket& connection) {
  FrameScope scope(state);
  RenderFrame(state, frame, connection, scope);
}

std::uint16_t CallRenderFrame(JobState& state, std::int32_t frame, win32::simple_socket& connection,
                              std::string& trapText) {
  // Out here, the scope outlives a fault that abandons the frame's stack, and puts back
  // what the frame made on that way out too.
  FrameScope scope(state);
  return diag::run_trapped_host_call("Trapped SEH Exception in RenderFrame(): ", trapText, state.lastCrashReport,
                                     std::uint16_t{1}, [&] {
                                       RenderFrame(state, frame, connection, scope);
                                       return std::uint16_t{0};
                                     });
}

}  // namespace paravelle::render
