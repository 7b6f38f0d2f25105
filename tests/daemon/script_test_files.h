#pragma once
// Script and scene files for the script command tests, in a folder of their own.

#include <fstream>
#include <string>

#include "host/maxscript_runtime.h"
#include "support/log_capture.h"

namespace paravelle::daemon {

class ScriptFiles {
 public:
  // A path in the folder as the farm sends it (forward slashes); write() creates the file.
  std::wstring missing(const std::string& name) const {
    const std::string path = folder_.path() + "/" + name;
    return std::wstring(path.begin(), path.end());
  }
  std::wstring write(const std::string& name, const std::string& content) const {
    std::ofstream(folder_.path() + "/" + name, std::ios::binary) << content;
    return missing(name);
  }

 private:
  testing::TempFolder folder_;
};

// A global of the script runtime, removed again when the test ends.
class ScopedGlobal {
 public:
  explicit ScopedGlobal(const wchar_t* name) : name_(Name::intern(name)) {}
  ~ScopedGlobal() { globals->remove(name_); }
  ScopedGlobal(const ScopedGlobal&) = delete;
  ScopedGlobal& operator=(const ScopedGlobal&) = delete;

  Value* get() const { return globals->get(name_); }
  std::wstring text() const { return get() ? get()->to_string() : L"<absent>"; }
  void set(Value* value) const { globals->set(name_, value); }

 private:
  Name* name_;
};

}  // namespace paravelle::daemon
