#include "render/job_start.h"

#include <stdexcept>

#include "diag/host_call_trap.h"
#include "diag/log_file.h"
#include "host/core.h"
#include "host/exceptions.h"
#include "job/farm_connection.h"
#include "render/renderer.h"
#include "transport/number_format.h"
#include "transport/text.h"

namespace paravelle::render {
namespace {

using job::JobState;

// Flags of LoadFromFile: no prompts, the file's units, refreshed viewports.
constexpr unsigned kLoadFlags = 14;

struct RendererKind {
  Class_ID id;
  bool JobState::*flag;
};
constexpr RendererKind kRendererKinds[] = {
    {{0x52ad1c02, 0x112d2fbc}, &JobState::rendererIsTypeA},
    {{0x73bab286, 0x77f8fd0c}, &JobState::rendererIsTypeB},
    {{0x58f67d6c, 0x4fcf3bc3}, &JobState::rendererIsTypeC},
};

// One message type of the missing-file policy: its ignore field, the action that fails
// the load, and the log lines.
struct MissingFilePolicy {
  int type;
  bool JobState::*ignore;
  int fail_action;
  const char* ignoring;
  const char* not_ignoring;
};
constexpr MissingFilePolicy kMissingFilePolicies[] = {
    {TYPE_MISSING_EXTERNAL_FILES, &JobState::ignoreMissingExternalFiles, 5, "Ignoring missing external file errors",
     "Not ignoring missing external file errors"},
    {TYPE_MISSING_UVWS, &JobState::ignoreMissingUVWs, 5, "Ignoring missing UVW cooridinate errors",
     "Not ignoring missing UVW cooridinate errors"},
    {TYPE_MISSING_DLL_FILES, &JobState::ignoreMissingDLLs, 5, "Ignoring missing DLL errors",
     "Not ignoring missing DLL errors"},
    {TYPE_MISSING_XREF_FILES, &JobState::ignoreMissingXREFs, 7, "Ignoring missing XREF errors",
     "Not ignoring missing XREF errors"},
};

std::string quoted(const std::wstring& text) { return "\"" + to_string(text) + "\""; }

void apply_path_configuration(const JobState& state) {
  if (!state.usePathConfigFile) return;
  IPathConfigMgr* const paths = IPathConfigMgr::GetPathConfigMgr();
  if (state.mergePathConfigFile) {
    diag::log_line("Merging alternate path config file " + to_string(state.pathConfigFile));
    paths->MergePathConfiguration(state.pathConfigFile.c_str());
  } else {
    diag::log_line("Loading alternate path config file " + to_string(state.pathConfigFile));
    paths->LoadPathConfiguration(state.pathConfigFile.c_str());
  }
}

// The scene load, with the texts the farm gets for each way it can fail.
void load_scene(JobState& state, const std::wstring& scene_file) {
  std::string trapText;
  bool loaded = false;
  try {
    loaded = CallLoadFromFile(state, scene_file, trapText);
  } catch (const std::exception& error) {
    diag::log_line("catch(std::exception& e) from LoadFromFile()");
    throw std::runtime_error(std::string("Caught an exception in GetCOREInterface()->LoadFromFile(): ") + error.what());
  } catch (const MAXException& error) {
    diag::log_line("catch(MAXException& e) from LoadFromFile()");
    throw std::runtime_error("Caught a MAXException in GetCOREInterface()->LoadFromFile(): " +
                             to_string(error.message()));
  } catch (...) {
    diag::log_line("catch(...) from LoadFromFile()");
    throw std::runtime_error("3ds max crashed in GetCOREInterface()->LoadFromFile(): " + quoted(scene_file));
  }
  if (!trapText.empty()) throw std::runtime_error(trapText + "\n" + state.lastCrashReport);
  if (!loaded) {
    diag::log_line("LoadFromFile() returned failure");
    throw std::runtime_error("Failed to load max file: " + quoted(scene_file));
  }
}

// Missing XREFs fail the job whatever the policy said: the scene would render without them.
void refuse_missing_xrefs(const JobState& state) {
  if (state.coreInterface->NumRecordedMessages(TYPE_MISSING_XREF_FILES) <= 0) return;
  std::wstring message;
  state.coreInterface->GetRecordedMessage(message, TYPE_MISSING_XREF_FILES, 0);
  throw std::runtime_error(to_string(message));
}

void choose_view(JobState& state, const std::wstring& cameraName) {
  state.renderCamera = nullptr;
  const bool follows_active_viewport = state.coreInterface11->GetUseActiveViewForRender() != 0;
  state.viewportLocked = !follows_active_viewport;
  if (follows_active_viewport) {
    state.renderViewport = &state.coreInterface->GetActiveViewExp();
    diag::log_line("Got the active viewport: " + format_pointer(state.renderViewport));
    if (!cameraName.empty()) {
      state.renderCamera = state.coreInterface->GetINodeByName(cameraName.c_str());
      if (!state.renderCamera) throw std::runtime_error("Scene does not contain render camera " + quoted(cameraName));
    }
  } else {
    // A locked view renders what the scene's author locked it to, whatever camera was asked for.
    state.lockedViewportIndex = state.coreInterface14->GetRenderViewIndex();
    diag::log_line("Viewport " + format_number(state.lockedViewportIndex) + " is locked");
    state.renderViewport = &state.coreInterface->GetViewExp(state.lockedViewportIndex);
    diag::log_line("Got the locked viewport: " + format_pointer(state.renderViewport));
  }
  if (state.renderCamera) return;
  if (INode* const camera = state.renderViewport->GetViewCamera()) {
    state.renderCamera = camera;
    diag::log_line("Rendering viewport with camera: " + to_string(camera->GetName()));
  } else {
    diag::log_line("Viewport is not a camera, so its current view will be rendered");
  }
}

void recognise_renderer(JobState& state) {
  const Renderer* const renderer = state.coreInterface->GetCurrentRenderer(true);
  if (!renderer) return;
  const Class_ID id = renderer->ClassID();
  for (const RendererKind& kind : kRendererKinds) {
    if (id != kind.id) continue;
    state.*kind.flag = true;
    return;
  }
}

}  // namespace

void StartJob(JobState& state, const std::wstring& scene_file, const std::wstring& cameraName) {
  state.coreInterface = GetCOREInterface8();
  state.coreInterface11 = GetCOREInterface11();
  state.coreInterface14 = GetCOREInterface14();
  diag::log_line("StartJob begin");
  job::reset_per_job_fields(state);
  if (state.jobRunning) throw std::runtime_error("StartJob called when job was already running.");

  diag::log_line("setting up gamma settings");
  ApplyGamma(state);
  diag::log_line("setting up default actions");
  ApplyDefaultActions(state);
  apply_path_configuration(state);

  diag::log_line("Checking max file validity...");
  if (!state.coreInterface->IsValidSceneFile(scene_file.c_str()))
    throw std::runtime_error("Invalid max file: " + quoted(scene_file));
  diag::log_line("Trying to load max file...");
  load_scene(state, scene_file);
  refuse_missing_xrefs(state);

  // The scene file may carry gamma and policies of its own; the farm's win.
  diag::log_line("Successfully loaded the max file");
  diag::log_line("setting up gamma settings again, just to ensure they're set");
  ApplyGamma(state);
  diag::log_line("setting up default actions again, just to ensure they're set");
  ApplyDefaultActions(state);

  choose_view(state, cameraName);
  recognise_renderer(state);
  state.jobRunning = true;
}

void EndJob(JobState& state) {
  if (!state.jobRunning) throw std::runtime_error("EndJob called when consistency check flag jobRunning was not set");
  CloseRenderer(state);
  constexpr BOOL kAllCaches = 1;
  state.coreInterface->FlushRenderCaches(kAllCaches);
  state.multipassEffect = nullptr;
  state.jobRunning = false;
}

void ApplyGamma(const JobState& state) {
  if (!state.gammaCorrection) return;
  gammaMgr.Enable(1);
  gammaMgr.SetFileInGamma(state.gammaIn);
  gammaMgr.SetFileOutGamma(state.gammaOut);
}

void ApplyDefaultActions(JobState& state) {
  for (const MissingFilePolicy& policy : kMissingFilePolicies) {
    const bool ignore = state.*policy.ignore;
    state.coreInterface->SetDefaultAction(policy.type, ignore ? DEFAULT_ACTION_IGNORE : policy.fail_action, 0, 0);
    diag::log_line(ignore ? policy.ignoring : policy.not_ignoring);
  }
}

void ReportDefaultActions(JobState& state, win32::simple_socket& connection) {
  struct Reported {
    int type;
    const wchar_t* label;
  };
  static constexpr Reported kReported[] = {{TYPE_MISSING_EXTERNAL_FILES, L"  TYPE_MISSING_EXTERNAL_FILES = "},
                                           {TYPE_MISSING_UVWS, L"  TYPE_MISSING_UVWS = "},
                                           {TYPE_MISSING_DLL_FILES, L"  TYPE_MISSING_DLL_FILES = "},
                                           {TYPE_MISSING_XREF_FILES, L"  TYPE_MISSING_XREF_FILES = "}};
  job::LogToFarm(connection, L"Checking default actions");
  // One value for all four reads: a type the host cannot answer for shows the one before.
  int action = 0;
  for (const Reported& entry : kReported) {
    state.coreInterface->GetDefaultAction(entry.type, action);
    job::LogToFarm(connection, std::wstring(entry.label) + (action == DEFAULT_ACTION_IGNORE ? L"IGNORE" : L"FAIL"));
  }
}

bool CallLoadFromFile(JobState& state, const std::wstring& file, std::string& trapText) {
  return diag::run_trapped_host_call("Trapped SEH Exception in LoadFromFile(): ", trapText, state.lastCrashReport,
                                     false,
                                     [&] { return state.coreInterface->LoadFromFile(file.c_str(), kLoadFlags); });
}

void CallStartJob(JobState& state, const std::wstring& fileName, const std::wstring& cameraName,
                  std::string& trapText) {
  diag::run_trapped_host_call("Trapped SEH Exception in StartJob(): ", trapText, state.lastCrashReport,
                              [&] { StartJob(state, fileName, cameraName); });
}

void CallEndJob(JobState& state, std::string& trapText) {
  diag::run_trapped_host_call("Trapped SEH Exception in EndJob(): ", trapText, state.lastCrashReport,
                              [&] { EndJob(state); });
}

}  // namespace paravelle::render
