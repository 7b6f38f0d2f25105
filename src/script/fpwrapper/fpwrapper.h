#pragma once
// The function-publishing wrapper: FFStaticInterface, FPDispatcher and FFCreateDescriptor.
// See ff_static_interface.h for how an interface class uses them.

#include "script/fpwrapper/ff_create_descriptor.h"
#include "script/fpwrapper/ff_static_interface.h"
#include "script/fpwrapper/fp_dispatcher.h"
