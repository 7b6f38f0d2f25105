#pragma once
// Files of a test: a scratch folder, what a file holds, and the programs built beside it.

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

// The paravelle-node built beside the running test program.
std::string node_binary_path();

}  // namespace paravelle::testing
