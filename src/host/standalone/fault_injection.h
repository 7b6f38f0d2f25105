#pragma once
// Machine faults a scene can ask for, so the plug-in's trap can be tested against
// the real thing. They are raised on the calling thread.

#include "host/standalone/scene_model.h"

namespace host::standalone {

// Raises the fault. Returns only for Kind::fail (the caller reports a plain failure); Kind::hang
// never returns.
void raise_fault(FaultSpec::Kind kind);

}  // namespace host::standalone
