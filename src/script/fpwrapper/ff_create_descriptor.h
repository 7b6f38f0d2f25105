#pragma once
// The builder of an FFStaticInterface's descriptor. It lives on the stack of the
// interface's constructor: each registration creates the function's dispatcher, and the
// builder's destruction at the end of the constructor writes the descriptor's argument
// list and loads it into the host (which, with FP_CORE among the flags, registers the
// interface under its name).

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/function_publishing.h"
#include "script/fpwrapper/argument_list.h"
#include "script/fpwrapper/ff_static_interface.h"
#include "script/fpwrapper/fp_dispatcher.h"
#include "script/fpwrapper/interface_id_check.h"

namespace paravelle::max3d::fpwrapper {

// The id every registration passes: take the next one in registration order.
inline constexpr std::uint16_t kAutomaticId = 65535;

template <class T, unsigned Flags>
class FFCreateDescriptor {
 public:
  // Throws std::runtime_error (after a system-log entry) for the default interface id.
  FFCreateDescriptor(FFStaticInterface<T, Flags>* target, Interface_ID interfaceId, std::wstring interfaceName,
                     ClassDesc* classDesc)
      : target_(target), interfaceId_(interfaceId), interfaceName_(std::move(interfaceName)), classDesc_(classDesc) {
    check_interface_id(interfaceId_, interfaceName_);
  }

  // Loads the descriptor. The host's refusal of it (a MAXException) leaves the interface's
  // constructor; while another exception is unwinding the constructor nothing is loaded.
  ~FFCreateDescriptor() noexcept(false) {
    if (std::uncaught_exceptions() > uncaught_at_start_) return;
    const ArgumentList list = write_descriptor();
    target_->load_descriptor(interfaceId_, interfaceName_.c_str(), 0, classDesc_, static_cast<std::uint16_t>(Flags),
                             list.slots());
  }

  FFCreateDescriptor(const FFCreateDescriptor&) = delete;
  FFCreateDescriptor& operator=(const FFCreateDescriptor&) = delete;

  // Publishes `method` as the script function `name`. An id of 65534 or less is used as
  // given; a dispatcher already registered under the id is replaced.
  template <class R, class... Args>
  requires(sizeof...(Args) <= 8) void function(R (T::*method)(Args...), std::wstring name, std::wstring p1 = L"Param1",
                                               std::wstring p2 = L"Param2", std::wstring p3 = L"Param3",
                                               std::wstring p4 = L"Param4", std::wstring p5 = L"Param5",
                                               std::wstring p6 = L"Param6", std::wstring p7 = L"Param7",
                                               std::wstring p8 = L"Param8", std::uint16_t id = kAutomaticId) {
    ParameterNames names{std::move(p1), std::move(p2), std::move(p3), std::move(p4),
                         std::move(p5), std::move(p6), std::move(p7), std::move(p8)};
    const FunctionID functionId = take_id(id);
    target_->dispatchers[functionId] =
        std::make_unique<FPDispatcherImpl<T, R(Args...)>>(method, functionId, std::move(name), std::move(names));
  }

  // Publishes a zero-parameter function as the read-only property `name`.
  void getter(int (T::*method)(), std::wstring name) { add_property(method, std::move(name)); }
  void getter(Value* (T::*method)(), std::wstring name) { add_property(method, std::move(name)); }

  FunctionID nextId() const { return static_cast<FunctionID>(nextFunctionId_); }

 private:
  struct Property {
    FunctionID getter;
    FunctionID setter;
    std::wstring name;
    int type;
  };

  FunctionID take_id(std::uint16_t requested) {
    if (requested != kAutomaticId) return static_cast<FunctionID>(requested);
    return static_cast<FunctionID>(nextFunctionId_++);
  }

  template <class R>
  void add_property(R (T::*method)(), std::wstring name) {
    const FunctionID functionId = take_id(kAutomaticId);
    ParameterNames none;
    target_->dispatchers[functionId] =
        std::make_unique<FPDispatcherImpl<T, R()>>(method, functionId, std::wstring(), std::move(none));
    properties_.push_back({functionId, FP_NO_FUNCTION, std::move(name), result_type<R>::code});
  }

  static std::uint32_t id_slot(FunctionID id) { return static_cast<std::uint32_t>(static_cast<std::int32_t>(id)); }

  // Functions by ascending id, then the properties in registration order, then the end
  // tag. The names stay owned by the dispatchers and this builder; the host copies them.
  ArgumentList write_descriptor() const {
    ArgumentList list;
    for (const auto& [id, dispatcher] : target_->dispatchers) {
      if (!dispatcher->name.empty()) dispatcher->Describe(list);
    }
    if (!properties_.empty()) {
      list.append_integer(::properties);
      for (const Property& property : properties_) {
        list.append_integer(id_slot(property.getter));
        list.append_integer(id_slot(property.setter));
        list.append_pointer(property.name.c_str());
        list.append_integer(0);  // no description string resource
        list.append_integer(static_cast<std::uint32_t>(property.type));
      }
    }
    list.append_integer(p_end);
    return list;
  }

  FFStaticInterface<T, Flags>* const target_;
  const Interface_ID interfaceId_;
  const std::wstring interfaceName_;
  ClassDesc* const classDesc_;
  std::uint16_t nextFunctionId_ = 0;
  std::vector<Property> properties_;
  const int uncaught_at_start_ = std::uncaught_exceptions();
};

}  // namespace paravelle::max3d::fpwrapper
