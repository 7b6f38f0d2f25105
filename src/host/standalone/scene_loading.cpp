// Loading scene files into the standalone interface: validity, the missing-file
// policy of the default-action system, gamma, the post-load script.

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "host/files.h"
#include "host/maxscript.h"
#include "host/standalone/fault_injection.h"
#include "host/standalone/path_config.h"
#include "host/standalone/scene_loader.h"
#include "host/standalone/scene_scripts.h"
#include "host/standalone/standalone_interface.h"
#include "host/standalone/wide_text.h"

namespace paravelle::host::standalone {
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
  for (const int type : {TYPE_MISSING_EXTERNAL_FILES, TYPE_MISSING_DLL_FILES, TYPE_MISSING_XREF_FILES,
                         TYPE_MISSING_UVWS}) {
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
    candidate = std::make_unique<LoadedScene>(load_scene_file(native),
                                              std::filesystem::path(native).parent_path().string());
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
