#pragma once
// Published interfaces as script values: the interface itself and its bound functions.

#include <string>
#include <vector>

#include "host/function_publishing.h"
#include "host/maxscript_runtime.h"

namespace paravelle::host::script {

extern ValueMetaClass Interface_class;
extern ValueMetaClass InterfaceFunction_class;

// Holds the interface's name, not the object: an interface that unloads is looked up
// again on each use and is then reported as gone rather than called.
class InterfaceValue : public Value {
 public:
  explicit InterfaceValue(std::wstring name) : Value(&Interface_class), name_(std::move(name)) {}
  const std::wstring& name() const { return name_; }
  void sprin1(CharStream* stream) override;
  // The registered interface; throws RuntimeError at `line` when it is gone.
  FPInterfaceDesc& resolve(int line) const;

 private:
  std::wstring name_;
};

class InterfaceFunction : public Value {
 public:
  InterfaceFunction(std::wstring interface_name, std::wstring function_name)
      : Value(&InterfaceFunction_class), interface_(std::move(interface_name)), function_(std::move(function_name)) {}
  void sprin1(CharStream* stream) override;
  Value* call(const std::vector<Value*>& arguments, int line) const;

 private:
  std::wstring interface_;
  std::wstring function_;
};

// `interface.property`: a bound function, or the value of a property's getter.
Value* read_interface_property(InterfaceValue& object, Name* property, int line);
void write_interface_property(InterfaceValue& object, Name* property, Value* value, int line);

}  // namespace paravelle::host::script
