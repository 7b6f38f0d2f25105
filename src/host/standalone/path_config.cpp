#include "host/standalone/path_config.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "host/files.h"
#include "host/maxscript.h"
#include "host/standalone/json_field.h"
#include "host/standalone/wide_text.h"

namespace paravelle::host::standalone {
namespace {

namespace fs = std::filesystem;

bool is_file(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

}  // namespace

bool PathConfiguration::read(const wchar_t* file, std::vector<std::string>& folders) const {
  const std::string native = host::files::native_path(file ? file : L"");
  try {
    std::ifstream stream(native, std::ios::binary);
    if (!stream) throw std::runtime_error("cannot open the path configuration file");
    nlohmann::json document;
    try {
      document = nlohmann::json::parse(stream);
    } catch (const nlohmann::json::parse_error& error) {
      throw std::runtime_error(std::string("syntax error: ") + error.what());
    }
    const JsonField root(document, "");
    root.expect_object({"format", "version", "search_folders"});
    if (document.at("format") != "paravelle-paths") root["format"].fail("expected \"paravelle-paths\"");
    if (document.at("version") != 1) root["version"].fail("unsupported version (this host reads version 1)");
    const JsonField list = root["search_folders"];
    const fs::path base = fs::path(native).parent_path();
    for (std::size_t i = 0; i < list.size(); ++i) {
      const fs::path folder(host::files::native_path(list.at(i).text()));
      folders.push_back((folder.is_absolute() ? folder : base / folder).lexically_normal().string());
    }
    return true;
  } catch (const std::exception& error) {
    const std::wstring message = wide_text::from_utf8(native + ": " + error.what()) + L"\n";
    the_listener()->puts(message.c_str());
    return false;
  }
}

bool PathConfiguration::LoadPathConfiguration(const wchar_t* file) {
  std::vector<std::string> folders;
  if (!read(file, folders)) return false;
  folders_ = std::move(folders);
  return true;
}

bool PathConfiguration::MergePathConfiguration(const wchar_t* file) {
  std::vector<std::string> folders;
  if (!read(file, folders)) return false;
  for (std::string& folder : folders)
    if (std::find(folders_.begin(), folders_.end(), folder) == folders_.end()) folders_.push_back(std::move(folder));
  return true;
}

std::optional<std::string> PathConfiguration::resolve(const std::wstring& dependency,
                                                      const std::string& scene_folder) const {
  const fs::path path(host::files::native_path(dependency));
  if (path.is_absolute()) return is_file(path) ? std::optional(path.string()) : std::nullopt;
  if (!scene_folder.empty() && is_file(fs::path(scene_folder) / path)) return (fs::path(scene_folder) / path).string();
  for (const std::string& folder : folders_)
    if (is_file(fs::path(folder) / path)) return (fs::path(folder) / path).string();
  return std::nullopt;
}

PathConfiguration& path_configuration() {
  static PathConfiguration instance;
  return instance;
}

}  // namespace paravelle::host::standalone

IPathConfigMgr* IPathConfigMgr::GetPathConfigMgr() { return &paravelle::host::standalone::path_configuration(); }
