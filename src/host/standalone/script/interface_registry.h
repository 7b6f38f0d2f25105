#pragma once
// The registry of published interfaces that scripts can reach by name.

#include "host/function_publishing.h"

namespace paravelle::host::fp {

// Registers under the interface's internal_name, replacing another interface of that
// name (case-insensitive).
void register_interface(FPInterfaceDesc* desc);
// Removes every registration of this interface.
void unregister_interface(const FPInterfaceDesc* desc);

}  // namespace paravelle::host::fp
