#pragma once
// The base of a published static interface whose functions are ordinary member
// functions of T, registered by name with FFCreateDescriptor in T's constructor.
//
//   class Tools : public FFStaticInterface<Tools, FP_CORE> {
//    public:
//     Tools() {
//       FFCreateDescriptor c(this, Interface_ID(0x1234, 0x5678), L"Tools", nullptr);
//       c.function(&Tools::Greet, L"Greet", L"name");
//       c.getter(&Tools::Count, L"Count");
//     }  // the descriptor is loaded here; scripts can call Tools.Greet "x"
//     void Greet(const std::wstring& name);
//     int Count();
//   };

#include <map>
#include <memory>

#include "host/function_publishing.h"
#include "script/fpwrapper/fp_dispatcher.h"

namespace paravelle::max3d::fpwrapper {

template <class T, unsigned Flags>
class FFCreateDescriptor;

template <class T, unsigned Flags>
class FFStaticInterface : public FPStaticInterface {
 public:
  FFStaticInterface() = default;
  ~FFStaticInterface() override = default;

 protected:
  FPStatus _dispatch_fn(FunctionID id, TimeValue time, FPValue& result, FPParams* arguments) override {
    const auto found = dispatchers.find(id);
    if (found == dispatchers.end()) return FPS_NO_SUCH_FUNCTION;
    found->second->Invoke(static_cast<T*>(this), time, result, arguments);
    return FPS_OK;
  }

 private:
  friend class FFCreateDescriptor<T, Flags>;
  // By id, ascending: the descriptor lists the functions in this order.
  std::map<FunctionID, std::unique_ptr<FPDispatcher<T>>> dispatchers;
};

}  // namespace paravelle::max3d::fpwrapper
