#pragma once
// Calling values and reading their properties: primitives, published interfaces, and the
// few properties of built-in values.

#include <string>
#include <vector>

#include "host/maxscript_runtime.h"

namespace paravelle::host::script {

// The value through which scripts reach a registered interface, or null.
Value* interface_named(Name* name);

bool is_interface_function(Value* value);

Value* call_function(Value* callee, const std::vector<Value*>& arguments, int line);

// `object.property`. `object_name` is the name the object was written as (empty when it
// was not a plain name); it makes the error for an unknown interface name clear.
Value* read_property(Value* object, Name* property, const std::wstring& object_name, int line);
void write_property(Value* object, Name* property, Value* value, int line);

}  // namespace paravelle::host::script
