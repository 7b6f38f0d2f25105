#include "support/log_capture.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "diag/log_file.h"

namespace paravelle::testing {

LogCapture::LogCapture() {
  std::string pattern = (std::filesystem::temp_directory_path() / "paravelle-log-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
  folder_ = pattern;
  path_ = folder_ + "/paravelle.log";
  diag::log_file.close();
  diag::log_file.clear();
  diag::log_file.open(path_, std::ios::out | std::ios::trunc);
}

LogCapture::~LogCapture() {
  diag::log_file.close();
  diag::log_file.clear();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

std::string LogCapture::text() const {
  diag::log_file.flush();
  std::ifstream file(path_);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> result;
  std::istringstream stream(text());
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

bool LogCapture::contains_line(const std::string& line) const {
  const auto all = lines();
  return std::find(all.begin(), all.end(), line) != all.end();
}

}  // namespace paravelle::testing
