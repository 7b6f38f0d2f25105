#pragma once
// Machine faults and exceptions a scene can ask for, so the plug-in's trap and its
// exception handling can be tested against the real thing. They are raised on the
// calling thread.

#include "host/standalone/scene_model.h"

namespace paravelle::host::standalone {

// Raises the fault or throws the exception. Returns only for Kind::fail (the caller
// reports a plain failure); Kind::hang never returns.
void raise_fault(FaultSpec::Kind kind);

}  // namespace paravelle::host::standalone
