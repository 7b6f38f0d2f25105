#pragma once

#include <string>

#include "host/types.h"

namespace paravelle::max3d::fpwrapper {

// An interface left at the host's default id (both parts 0xFFFFFFFF) would collide with
// every other forgotten one: the host's system log gets an error entry shown in a dialog,
// and std::runtime_error carries the same text.
void check_interface_id(const Interface_ID& id, const std::wstring& interfaceName);

}  // namespace paravelle::max3d::fpwrapper
