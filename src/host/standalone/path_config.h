#pragma once
// The host's path configuration: folders searched for a scene's dependencies.
// A configuration file is JSON:
//   { "format": "paravelle-paths", "version": 1, "search_folders": ["maps", "D:\\shared\\maps"] }
// Relative folders are taken relative to the configuration file's folder. Loading
// replaces the folders, merging appends the ones not yet listed. A file that cannot
// be read changes nothing, prints why on the listener and gives false.

#include <optional>
#include <string>
#include <vector>

#include "host/core.h"

namespace paravelle::host::standalone {

class PathConfiguration : public IPathConfigMgr {
 public:
  bool LoadPathConfiguration(const wchar_t* file) override;
  bool MergePathConfiguration(const wchar_t* file) override;

  // A dependency path (wide, as the scene wrote it) as an existing native file: an
  // absolute path as it is; a relative one tried in the scene's folder, then in each
  // search folder in order. Nothing when no such file exists.
  std::optional<std::string> resolve(const std::wstring& dependency, const std::string& scene_folder) const;

  const std::vector<std::string>& search_folders() const { return folders_; }
  void clear() { folders_.clear(); }

 private:
  bool read(const wchar_t* file, std::vector<std::string>& folders) const;
  std::vector<std::string> folders_;  // native
};

// The host's one path configuration (what IPathConfigMgr::GetPathConfigMgr returns).
PathConfiguration& path_configuration();

}  // namespace paravelle::host::standalone
