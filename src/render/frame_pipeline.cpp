#include "render/frame_pipeline.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "diag/log_file.h"
#include "host/core.h"
#include "host/files.h"
#include "render/black_frame.h"
#include "render/output_files.h"
#include "render/job_start.h"
#include "render/progress_callback.h"
#include "render/renderer.h"
#include "script/farm_log.h"
#include "transport/number_format.h"
#include "transport/text.h"

namespace paravelle::render {
namespace {

using daemon::JobState;
using script::LogToFarm;
using script::WarnToFarm;

// A frame's file name lives in a MAX_PATH buffer on the host it was written for.
constexpr std::size_t kLongestFileName = 259;
constexpr int kRegionCrop = 4;

// Before any job has started there is no job interface yet; the host's own serves.
Interface& core_of(const JobState& state) {
  if (state.coreInterface) return *state.coreInterface;
  return *GetCOREInterface8();
}

std::wstring name_of(const BitmapInfo& info) { return info.Name() ? std::wstring(info.Name()) : std::wstring(); }

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
// the frame still needs one (for the skip test and the log).
std::wstring placeholder_output_name() {
  std::wstring folder = host::files::common_app_data_folder();
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder + L"Orvalink\\taskmere\\temp\\temp_filename" + std::to_wstring(std::rand()) + L".bmp";
}

// What holds while the renderer stays open: the output description and name, and the
// enabled render elements with their descriptions.
void settle_output_settings(JobState& state, Interface& core) {
  state.outputBitmapInfo.Copy(&core.GetRendFileBI());
  PrepareBitmapInfo(state.outputBitmapInfo);
  state.renderOutputName = core.GetRendSaveFile() ? name_of(state.outputBitmapInfo) : placeholder_output_name();

  state.renderElements.clear();
  state.renderElementBitmaps.clear();
  state.renderElementCount = 0;
  IRenderElementMgr* manager = core.GetRenderElementMgr();
  if (!manager || !manager->GetElementsActive()) return;
  for (int i = 0; i < manager->NumRenderElements(); ++i) {
    IRenderElement* element = manager->GetRenderElement(i);
    if (!element || !element->IsEnabled()) continue;
    state.renderElements.push_back(element);
    state.renderElementBitmaps.push_back(nullptr);
    element->GetPBBitmap(state.renderElementBitmaps.back());
    if (PBBitmap* output = state.renderElementBitmaps.back()) PrepareBitmapInfo(output->bi);
    ++state.renderElementCount;
  }
}

// Region crop: every image is exactly the (padded) region. The host's image sides are 16
// bits; a region that does not fit is refused rather than wrapped to another size.
void crop_to_region(JobState& state) {
  const std::int64_t width = std::int64_t{state.regionRight} - state.regionLeft;
  const std::int64_t height = std::int64_t{state.regionBottom} - state.regionTop;
  constexpr std::int64_t largest = std::numeric_limits<std::uint16_t>::max();
  if (width < 0 || height < 0 || width > largest || height > largest) {
    throw std::runtime_error("The region crop of " + std::to_string(width) + "x" + std::to_string(height) +
                             " pixels does not fit an image (0 to 65535 pixels a side)");
  }
  const auto crop = [&](BitmapInfo& info) {
    info.SetWidth(static_cast<int>(width));
    info.SetHeight(static_cast<int>(height));
  };
  crop(state.outputBitmapInfo);
  for (PBBitmap* output : state.renderElementBitmaps) {
    if (output) crop(output->bi);
  }
}

// Everything a frame makes, put back on every way out: the main bitmap, the element
// bitmaps and accumulators, and the names the frame gave the descriptions.
class FrameScope {
 public:
  explicit FrameScope(JobState& state) : state_(state) {}
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;
  ~FrameScope() {
    if (mainBitmap_) mainBitmap_->DeleteThis();
    ReleaseRenderElementBitmaps(state_);
    state_.outputBitmapInfo.SetName(state_.renderOutputName.c_str());
    for (std::size_t i = 0; i < savedElementNames_.size() && i < state_.renderElementBitmaps.size(); ++i) {
      if (PBBitmap* output = state_.renderElementBitmaps[i]) output->bi.SetName(savedElementNames_[i].c_str());
    }
  }

  void keep_main_bitmap(Bitmap* bitmap) { mainBitmap_ = bitmap; }
  void save_element_name(const std::wstring& name) { savedElementNames_.push_back(name); }

 private:
  JobState& state_;
  Bitmap* mainBitmap_ = nullptr;
  std::vector<std::wstring> savedElementNames_;
};

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
  for (std::int32_t i = 0; i < state.renderElementCount; ++i) {
    PBBitmap* output = state.renderElementBitmaps[static_cast<std::size_t>(i)];
    if (!output) throw std::runtime_error("Render element " + format_number(i) + " has no output description");
    std::wstring name;
    if (!state.useRenderElementFilenames) {
      name = name_of(output->bi);
    } else if (static_cast<std::size_t>(i) < state.renderElementFilenames.size()) {
      name = state.renderElementFilenames[static_cast<std::size_t>(i)];
    }
    scope.save_element_name(name);
    name = frame_file_name(state, name, frame);
    output->bi.SetName(name.c_str());
    output->bm = TheManager->Create(&output->bi);
    if (!output->bm) {
      throw std::runtime_error("Failed to allocate the bitmap of render element " + format_number(i + 1) + " of " +
                               format_number(state.renderElementCount) + ": TheManager->Create() returned NULL");
    }
    diag::log_line("Element Bitmap " + format_pointer(output->bm));
  }
}

void create_accumulators(JobState& state) {
  for (std::int32_t i = 0; i < state.renderElementCount; ++i) {
    PBBitmap* output = state.renderElementBitmaps[static_cast<std::size_t>(i)];
    state.renderElementAccumulators.push_back(TheManager->Create(&output->bi));
    if (!state.renderElementAccumulators.back()) {
      throw std::runtime_error("Failed to allocate the accumulation bitmap of render element " + format_number(i + 1) +
                               " of " + format_number(state.renderElementCount) +
                               ": TheManager->Create() returned NULL");
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
  } catch (const std::exception&) {
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
  for (std::int32_t i = 0; i < state.renderElementCount; ++i) {
    const auto index = static_cast<std::size_t>(i);
    if (!is_ignored(state, state.renderElements[index]))
      CreateOutputPath(state.renderElementBitmaps[index]->bi, connection);
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
  RECT region = RegionRect(state);
  std::string errorText;
  const int result = CallCurRendererRenderFrame(state, t, bitmap, &callback, 1.0f, nullptr,
                                                state.regionRendering ? &region : nullptr, errorText);
  LogToFarm(connection, std::wstring(L"CallCurRendererRenderFrame returned code ") + (result != 0 ? L"1" : L"0"));
  if (!errorText.empty()) throw std::runtime_error(errorText + "\n" + state.lastCrashReport);
  if (result == 0) throw std::runtime_error("Failed to render the frame.");
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
  for (std::int32_t i = 0; i < state.renderElementCount; ++i) {
    const auto index = static_cast<std::size_t>(i);
    if (is_ignored(state, state.renderElements[index])) continue;
    PBBitmap& output = *state.renderElementBitmaps[index];
    Bitmap* source = output.bm;
    if (state.multipassEnabled) {
      // The passes were accumulated; the element's own bitmap only held the last one.
      if (output.bm) output.bm->DeleteThis();
      output.bm = nullptr;
      source = state.renderElementAccumulators[index];
    }
    if (!source) continue;
    const std::wstring name = name_of(output.bi);
    if (state.failOnBlackFrames && state.blackFramesCheckRenderElements) check_black(state, name, source, connection);
    if (name.empty()) {
      WarnToFarm(connection,
                 L"Not saving render element " + format_wide_number(i) + L" because its output path is empty");
    } else if (state.regionRendering) {
      WriteRegionOutput(state, source, output.bi, connection);
    } else {
      WriteOutputFile(state, source, output.bi, connection);
    }
  }
}

// From the frame's names to its files. False when the frame was skipped; the frame's
// bitmaps and names are put back on every way out.
bool render_and_write(JobState& state, Interface& core, TimeValue t, std::int32_t frame,
                      win32::simple_socket& connection) {
  FrameScope scope(state);
  const std::wstring name =
      frame_file_name(state, state.useOutputImageFilename ? state.outputImageFilename : state.renderOutputName, frame);
  state.outputBitmapInfo.SetName(name.c_str());
  if (core.GetSkipRenderedFrames() && file_exists(name)) {
    LogToFarm(connection, L"Skipping frame " + quoted(name) + L" because it already exists");
    return false;
  }
  LogToFarm(connection, L"Rendering frame " + quoted(name));
  Bitmap* bitmap = create_main_bitmap(state, scope);
  prepare_element_bitmaps(state, frame, scope);
  LogToFarm(connection, L"Rendering " + format_wide_number(state.renderElementCount) + L" render elements");

  if (!state.rendererOpen) SetupRenderParameters(state, frame, connection);
  if (state.multipassEnabled) create_accumulators(state);
  if (!state.jobRunning)
    throw std::runtime_error("RenderFrame called when consistency check flag jobRunning was not set");
  check_output_paths(state, core, connection);
  ReportDefaultActions(state, connection);

  LogToFarm(connection, L"Calling renderer");
  if (state.multipassEnabled) {
    RenderMultipass(state, t, bitmap, connection);
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

void PrepareBitmapInfo(BitmapInfo& info) {
  Interface& core = *GetCOREInterface();
  const Renderer* renderer = core.GetCurrentRenderer(true);
  const bool wantsFloat = renderer && renderer->HasRequirement(MAX_REQUIREMENT_FLOAT_OUTPUT);
  info.SetType(wantsFloat ? BMM_FLOAT_RGBA_32 : BMM_TRUE_64);
  info.SetFlags(MAP_HAS_ALPHA);
  info.SetWidth(core.GetRendWidth());
  info.SetHeight(core.GetRendHeight());
  info.SetAspect(core.GetRendApect());
}

void ReleaseRenderElementBitmaps(JobState& state) {
  const auto count =
      std::min(static_cast<std::size_t>(std::max(state.renderElementCount, 0)), state.renderElementBitmaps.size());
  for (std::size_t i = 0; i < count; ++i) {
    PBBitmap* output = state.renderElementBitmaps[i];
    if (!output) continue;
    if (output->bm) output->bm->DeleteThis();
    output->bm = nullptr;
  }
  for (Bitmap* accumulator : state.renderElementAccumulators) {
    if (accumulator) accumulator->DeleteThis();
  }
  state.renderElementAccumulators.clear();
}

std::uint16_t RenderFrame(JobState& state, std::int32_t frame, win32::simple_socket& connection) {
  LogToFarm(connection, L"Render frame " + format_wide_number(frame));
  Interface& core = core_of(state);
  const TimeValue t = FrameTime(frame);
  core.SetTime(t, 1);
  state.writtenOutputFiles.clear();
  if (state.overrideSaveFile) {
    LogToFarm(connection, std::wstring(L"Overriding save file option to ") + (state.saveFile ? L"1" : L"0"));
    core.SetRendSaveFile(state.saveFile);
  }
  if (!state.rendererOpen) settle_output_settings(state, core);
  if (state.regionRendering && state.regionType == kRegionCrop) crop_to_region(state);
  if (!render_and_write(state, core, t, frame, connection)) return 0;

  if (state.restartRendererMode) {
    // The next frame opens the renderer and collects the elements again. The count goes
    // with the lists, so a close that fails never leaves it pointing past them.
    state.renderElements.clear();
    state.renderElementBitmaps.clear();
    state.renderElementCount = 0;
    CloseRenderer(state);
  }
  return 0;
}

}  // namespace paravelle::render
