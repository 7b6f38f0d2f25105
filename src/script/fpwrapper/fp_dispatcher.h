#pragma once
// One published member function of an interface class T: its id, its script name and
// parameter names, how to call it with the host's arguments (Invoke) and how to list it
// in the descriptor (Describe).

#include <array>
#include <cstddef>
#include <exception>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "host/exceptions.h"
#include "host/function_publishing.h"
#include "script/fpwrapper/argument_list.h"
#include "script/fpwrapper/type_codes.h"
#include "transport/text.h"

namespace paravelle::max3d::fpwrapper {

// Every registration carries eight names; those past the signature's parameters are
// never published.
using ParameterNames = std::array<std::wstring, 8>;

template <class T>
class FPDispatcher {
 public:
  FPDispatcher(FunctionID functionId, std::wstring functionName, ParameterNames names)
      : id(functionId), name(std::move(functionName)), parameterNames(std::move(names)) {}
  virtual ~FPDispatcher() = default;
  FPDispatcher(const FPDispatcher&) = delete;
  FPDispatcher& operator=(const FPDispatcher&) = delete;

  // Converts the arguments, calls the member function on `object` and stores its result.
  // A standard exception becomes a MAXException with its text; host and script
  // exceptions pass unchanged.
  virtual void Invoke(T* object, TimeValue time, FPValue& result, FPParams* arguments) = 0;
  // Appends this function's entry to a descriptor's argument list.
  virtual void Describe(ArgumentList& list) const = 0;

  const FunctionID id;
  // Empty for a function published as a read-only property.
  const std::wstring name;
  const ParameterNames parameterNames;
};

template <class T, class Signature>
class FPDispatcherImpl;

template <class T, class R, class... Args>
requires publishable_result<R> &&(publishable_parameter<Args>&&...) class FPDispatcherImpl<T, R(Args...)> final
    : public FPDispatcher<T> {
 public:
  using Method = R (T::*)(Args...);

  FPDispatcherImpl(Method function, FunctionID functionId, std::wstring functionName, ParameterNames names)
      : FPDispatcher<T>(functionId, std::move(functionName), std::move(names)), method(function) {}

  void Invoke(T* object, TimeValue, FPValue& result, FPParams* arguments) override {
    // A call without an argument list has no arguments: reading one is the host array's
    // out-of-range error, never a null dereference.
    static const FPParams no_arguments;
    const FPParams& given = arguments ? *arguments : no_arguments;
    try {
      call(*object, result, given, std::index_sequence_for<Args...>{});
    } catch (const std::exception& error) {
      throw MAXException(paravelle::to_wstring(error.what()), 0);
    }
  }

  void Describe(ArgumentList& list) const override {
    list.append_integer(static_cast<std::uint32_t>(static_cast<std::int32_t>(this->id)));
    list.append_pointer(this->name.c_str());
    list.append_integer(0);  // no description string resource
    list.append_integer(static_cast<std::uint32_t>(result_type<R>::code));
    list.append_integer(0);  // function flags
    list.append_integer(static_cast<std::uint32_t>(sizeof...(Args)));
    describe_parameters(list, std::index_sequence_for<Args...>{});
  }

  const Method method;

 private:
  template <std::size_t... I>
  void call(T& object, FPValue& result, const FPParams& arguments, std::index_sequence<I...>) {
    // Braced initialisation reads the arguments in declaration order.
    std::tuple<std::decay_t<Args>...> converted{parameter_type<Args>::read(arguments[static_cast<int>(I)])...};
    if constexpr (std::is_void_v<R>) {
      (object.*method)(std::get<I>(converted)...);
    } else {
      result_type<R>::store(result, (object.*method)(std::get<I>(converted)...));
    }
  }

  template <std::size_t... I>
  void describe_parameters(ArgumentList& list, std::index_sequence<I...>) const {
    ((list.append_pointer(this->parameterNames[I].c_str()), list.append_integer(0),
      list.append_integer(static_cast<std::uint32_t>(parameter_type<Args>::code))),
     ...);
  }
};

}  // namespace paravelle::max3d::fpwrapper
