#pragma once
// The plug-in library as the node holds it: loaded at start-up, checked, unloaded at
// exit, so its static objects live and die as a host's extension's do.

#include <stdexcept>
#include <string>

namespace paravelle::node {

class PluginLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PluginLibrary {
 public:
  // The SDK version every loadable extension must report.
  static constexpr unsigned long kExpectedVersion = 0x5DC03C00;

  explicit PluginLibrary(const std::string& path);
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  std::wstring description() const;

 private:
  void* symbol(const char* name) const;
  void* handle_ = nullptr;
};

// The plug-in library beside the running executable.
std::string default_plugin_path();

}  // namespace paravelle::node
