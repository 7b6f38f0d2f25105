#include "host/standalone/standalone_interface.h"

#include <filesystem>
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include "host/files.h"
#include "host/maxscript.h"
#include "host/standalone/fault_injection.h"
#include "host/standalone/loaded_scene.h"
#include "host/standalone/path_config.h"
#include "host/standalone/scene_loader.h"
#include "host/standalone/wide_text.h"

namespace paravelle::host::standalone {

StandaloneInterface::StandaloneInterface() : scene_(std::make_unique<LoadedScene>(SceneSpec{})) {}

void StandaloneInterface::reset() {
  session_.close();
  scene_ = std::make_unique<LoadedScene>(SceneSpec{});
  time_ = 0;
  actions_ = DefaultActions{};
  clear_log_records();
  flushes_ = 0;
}

bool StandaloneInterface::injected_fault(FaultSpec::When when) {
  for (const FaultSpec& fault : scene_->spec().faults) {
    if (fault.when != when) continue;
    raise_fault(fault.kind);
    return true;
  }
  return false;
}

void StandaloneInterface::SetTime(TimeValue t, BOOL) {
  // A time that cannot be set is left as it was (the call has no result to fail with).
  if (injected_fault(FaultSpec::When::time)) return report(L"SetTime: the scene's fault injection keeps the time");
  time_ = t;
}

void StandaloneInterface::SetRendWidth(int width) {
  if (width > 0) scene_->spec().render.width = width;
}

void StandaloneInterface::SetRendHeight(int height) {
  if (height > 0) scene_->spec().render.height = height;
}

BitmapInfo& StandaloneInterface::GetRendFileBI() {
  rend_file_bi_.SetName(settings().output_file.c_str());
  rend_file_bi_.SetWidth(settings().width);
  rend_file_bi_.SetHeight(settings().height);
  rend_file_bi_.SetAspect(settings().pixel_aspect);
  return rend_file_bi_;
}

void StandaloneInterface::SetupRendParams(RendParams& params, ViewParams*, int rendType) {
  params.rendType = rendType;
  params.width = settings().width;
  params.height = settings().height;
  params.pixelAspect = settings().pixel_aspect;
  params.frameDuration = scene_->spec().ticks_per_frame;
}

Renderer* StandaloneInterface::GetCurrentRenderer(bool) { return &scene_->renderer(); }

int StandaloneInterface::OpenCurRenderer(INode* camera, ViewExp* view, int rendType, int width, int height) {
  if (injected_fault(FaultSpec::When::open)) {
    report(L"OpenCurRenderer: the scene's fault injection fails opening the renderer");
    return 0;
  }
  if (!camera && !view) {
    report(L"OpenCurRenderer: neither a camera nor a viewport to render");
    return 0;
  }
  if (width < 1 || height < 1) {
    report(L"OpenCurRenderer: the output size " + std::to_wstring(width) + L"x" + std::to_wstring(height) +
           L" is empty");
    return 0;
  }
  session_.open(camera, view, rendType, width, height);
  return 1;
}

int StandaloneInterface::CurRendererRenderFrame(TimeValue t, Bitmap* bitmap, RendProgressCallback* progress, float,
                                                ViewParams* view, RECT* region) {
  if (!session_.is_open()) {
    report(L"CurRendererRenderFrame: the renderer is not open");
    return 0;
  }
  if (!run_scene_script(scene_->spec().pre_frame_script)) {
    report(L"CurRendererRenderFrame: the scene's pre-frame script failed");
    return 0;
  }
  const int ticks = scene_->spec().ticks_per_frame;
  const TimeValue frame = t >= 0 ? t / ticks : -((-t + ticks - 1) / ticks);
  for (const FaultSpec& fault : scene_->spec().faults) {
    if (fault.when != FaultSpec::When::render || fault.frame != frame) continue;
    raise_fault(fault.kind);
    report(L"CurRendererRenderFrame: the scene's fault injection fails frame " + std::to_wstring(frame));
    return 0;
  }
  std::wstring problem;
  const int result = session_.render(*scene_, t, bitmap, progress, view, region, problem);
  if (!problem.empty()) report(L"CurRendererRenderFrame: " + problem);
  return result;
}

void StandaloneInterface::CloseCurRenderer() {
  if (injected_fault(FaultSpec::When::close))
    return report(L"CloseCurRenderer: the scene's fault injection keeps the renderer open");
  session_.close();
}

ViewExp& StandaloneInterface::GetActiveViewExp() { return GetViewExp(scene_->spec().active_viewport); }

ViewExp& StandaloneInterface::GetViewExp(int index) {
  // A viewport lookup has no failure value: "fail" gives the viewport all the same.
  injected_fault(FaultSpec::When::viewport);
  if (StandaloneViewport* viewport = scene_->viewport(index)) return *viewport;
  // A reference cannot be null: an unknown index gets the default perspective view.
  LogEntry(SYSLOG_ERROR, 0, L"Viewports",
           (L"no viewport " + std::to_wstring(index) + L"; using the default perspective view").c_str());
  return fallback_viewport_;
}

INode* StandaloneInterface::GetINodeByName(const wchar_t* name) { return name ? scene_->find_node(name) : nullptr; }

void StandaloneInterface::SetDefaultAction(int type, int action, int, int) {
  if (!actions_.set_action(type, action))
    LogEntry(SYSLOG_ERROR, 0, L"Default actions", (L"unknown message type " + std::to_wstring(type)).c_str());
}

bool StandaloneInterface::GetRecordedMessage(std::wstring& text, int type, int index) const {
  return actions_.message(type, index, text);
}

void StandaloneInterface::LogEntry(unsigned type, unsigned, const wchar_t* title, const wchar_t* text) {
  LogRecord record{type, title ? title : L"", text ? text : L""};
  std::lock_guard<std::mutex> lock(log_mutex_);
  std::cerr << wide_text::to_utf8(record.title) << ": " << wide_text::to_utf8(record.text) << std::endl;
  log_.push_back(std::move(record));
}

std::vector<LogRecord> StandaloneInterface::log_records() const {
  std::lock_guard<std::mutex> lock(log_mutex_);
  return log_;
}

void StandaloneInterface::clear_log_records() {
  std::lock_guard<std::mutex> lock(log_mutex_);
  log_.clear();
}

void StandaloneInterface::FlushRenderCaches(BOOL) {
  // Flushing cannot fail: "fail" flushes all the same.
  injected_fault(FaultSpec::When::flush);
  session_.close();
  ++flushes_;
}

void StandaloneInterface::report(const std::wstring& text) { LogEntry(SYSLOG_ERROR, 0, L"Renderer", text.c_str()); }

StandaloneInterface& standalone_interface() {
  static StandaloneInterface instance;
  return instance;
}

// Loading scene files into the standalone interface: validity, the missing-file
// policy of the default-action system, gamma, the post-load script.
namespace {

const wchar_t* type_description(int type) {
  switch (type) {
    case TYPE_MISSING_EXTERNAL_FILES: return L"missing external file";
    case TYPE_MISSING_DLL_FILES: return L"missing DLL";
    case TYPE_MISSING_XREF_FILES: return L"missing XREF";
    default: return L"missing UVW coordinates";
  }
}

// Exists, is JSON, and says it is a scene of a version this host reads. Whether its
// content is sound is the load's to report, with the details.
bool has_scene_header(const std::string& native) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(native, error)) return false;
  std::ifstream stream(native, std::ios::binary);
  const nlohmann::json document = nlohmann::json::parse(stream, nullptr, false);
  if (document.is_discarded() || !document.is_object()) return false;
  const auto format = document.find("format");
  const auto version = document.find("version");
  return format != document.end() && *format == kSceneFormatName && version != document.end() &&
         version->is_number_integer() && *version == kSceneFormatVersion;
}

}  // namespace

bool StandaloneInterface::IsValidSceneFile(const wchar_t* file) {
  return file && has_scene_header(host::files::native_path(file));
}

bool StandaloneInterface::fail_load(const std::wstring& message) {
  the_listener()->puts((message + L"\n").c_str());
  return false;
}

bool StandaloneInterface::missing_files_fail_load(const LoadedScene& candidate, const std::wstring& file) {
  for (const auto& [type, texts] : candidate.spec().missing_messages)
    for (const std::wstring& text : texts) actions_.record(type, text);
  for (const std::wstring& dependency : candidate.spec().external_files)
    if (!path_configuration().resolve(dependency, candidate.folder()))
      actions_.record(TYPE_MISSING_EXTERNAL_FILES, L"Missing external file: " + dependency);

  bool failed = false;
  for (const int type :
       {TYPE_MISSING_EXTERNAL_FILES, TYPE_MISSING_DLL_FILES, TYPE_MISSING_XREF_FILES, TYPE_MISSING_UVWS}) {
    int action = DEFAULT_ACTION_IGNORE;
    const int count = actions_.message_count(type);
    if (count == 0 || !actions_.action(type, action) || action == DEFAULT_ACTION_IGNORE) continue;
    std::wstring first;
    actions_.message(type, 0, first);
    fail_load(file + L": load failed: " + std::to_wstring(count) + L" " + type_description(type) +
              L" message(s), default action " + std::to_wstring(action) + L"; the first: " + first);
    failed = true;
  }
  return failed;
}

bool StandaloneInterface::LoadFromFile(const wchar_t* file, unsigned) {
  const std::wstring wide = file ? file : L"";
  actions_.clear_messages();
  const std::string native = host::files::native_path(wide);
  std::unique_ptr<LoadedScene> candidate;
  try {
    candidate =
        std::make_unique<LoadedScene>(load_scene_file(native), std::filesystem::path(native).parent_path().string());
  } catch (const std::exception& error) {
    return fail_load(wide_text::from_utf8_replacing(error.what()));
  }
  for (const FaultSpec& fault : candidate->spec().faults) {
    if (fault.when != FaultSpec::When::load) continue;
    raise_fault(fault.kind);
    return fail_load(wide + L": the scene's fault injection fails the load");
  }
  // A load that fails keeps the scene that was there: nothing half-applied.
  if (missing_files_fail_load(*candidate, wide)) return false;

  session_.close();
  scene_ = std::move(candidate);
  time_ = 0;
  const GammaSpec& gamma = scene_->spec().gamma;
  gammaMgr.Enable(gamma.enabled ? 1 : 0);
  gammaMgr.SetFileInGamma(gamma.file_in);
  gammaMgr.SetFileOutGamma(gamma.file_out);
  if (!run_scene_script(scene_->spec().post_load_script))
    fail_load(wide + L": the scene's post-load script failed; the scene stays loaded");
  return true;
}

}  // namespace paravelle::host::standalone

Interface* GetCOREInterface() { return &paravelle::host::standalone::standalone_interface(); }
Interface8* GetCOREInterface8() { return &paravelle::host::standalone::standalone_interface(); }
Interface11* GetCOREInterface11() { return &paravelle::host::standalone::standalone_interface(); }
Interface14* GetCOREInterface14() { return &paravelle::host::standalone::standalone_interface(); }
int GetTicksPerFrame() { return paravelle::host::standalone::standalone_interface().scene().spec().ticks_per_frame; }
