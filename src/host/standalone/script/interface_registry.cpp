// Interfaces registered by descriptors that carry FP_CORE.

#include "interface_registry.h"

#include <mutex>
#include <unordered_map>

#include "values.h"

namespace paravelle::host::fp {
namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<std::wstring, FPInterfaceDesc*> by_name;  // folded name
};

// Never destroyed: interfaces of unloading libraries unregister during static destruction.
Registry& registry() {
  static auto* instance = new Registry;
  return *instance;
}

}  // namespace

void register_interface(FPInterfaceDesc* desc) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.by_name[host::script::fold_case(desc->internal_name)] = desc;
}

void unregister_interface(const FPInterfaceDesc* desc) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::erase_if(r.by_name, [desc](const auto& entry) { return entry.second == desc; });
}

FPInterfaceDesc* find_interface(std::wstring_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const auto found = r.by_name.find(host::script::fold_case(name));
  return found == r.by_name.end() ? nullptr : found->second;
}

FPInterfaceDesc* find_interface(Interface_ID id) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  for (const auto& [name, desc] : r.by_name) {
    if (desc->ID == id) return desc;
  }
  return nullptr;
}

}  // namespace paravelle::host::fp
