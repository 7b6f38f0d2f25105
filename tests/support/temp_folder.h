#pragma once

#include <filesystem>
#include <string>

namespace paravelle::testing {

// A fresh, empty folder under the system's temporary folder, removed by the destructor.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A file's bytes as they are on disk; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);

}  // namespace paravelle::testing
