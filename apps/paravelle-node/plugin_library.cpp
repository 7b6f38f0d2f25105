#include "plugin_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <sstream>

namespace paravelle::node {

PluginLibrary::PluginLibrary(const std::string& path) {
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) throw PluginLoadError("cannot load the plug-in library " + path + ": " + ::dlerror());
  using VersionFunction = unsigned long (*)();
  const auto version = reinterpret_cast<VersionFunction>(symbol("LibVersion"))();
  if (version != kExpectedVersion) {
    std::ostringstream message;
    message << "the plug-in library " << path << " reports version 0x" << std::hex << std::uppercase << version
            << ", this node needs 0x" << kExpectedVersion;
    ::dlclose(handle_);
    throw PluginLoadError(message.str());
  }
  using InitFunction = void (*)();
  reinterpret_cast<InitFunction>(symbol("LibInit"))();
}

PluginLibrary::~PluginLibrary() {
  if (handle_) ::dlclose(handle_);
}

void* PluginLibrary::symbol(const char* name) const {
  void* address = ::dlsym(handle_, name);
  if (!address) throw PluginLoadError(std::string("the plug-in library has no entry point ") + name);
  return address;
}

std::wstring PluginLibrary::description() const {
  using DescriptionFunction = const wchar_t* (*)();
  return reinterpret_cast<DescriptionFunction>(symbol("LibDescription"))();
}

std::string default_plugin_path() {
  char executable[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", executable, sizeof executable - 1);
  if (length <= 0) return "libparavelle.so";
  std::string path(executable, static_cast<std::size_t>(length));
  return path.substr(0, path.find_last_of('/') + 1) + "libparavelle.so";
}

}  // namespace paravelle::node
