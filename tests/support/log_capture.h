#pragma once
// Points the plug-in's log at a fresh file for one test and reads it back.

#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace paravelle::testing {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line written so far (line ends removed).
  std::vector<std::string> lines() const;
  std::string text() const;
  bool contains_line(const std::string& line) const;
  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
};

}  // namespace paravelle::testing
