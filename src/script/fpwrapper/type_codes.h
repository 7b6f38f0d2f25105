#pragma once
// The C++ types a published member function may take and return, with the host's type
// code for each and how a value crosses between FPValue and C++.
//
//   parameter int                  TYPE_INT    read from .i
//   parameter float                TYPE_FLOAT  read from .f
//   parameter const std::wstring&  TYPE_VALUE  the script value's own text (none: empty)
//   result bool                    TYPE_bool   loaded as an int
//   result int                     TYPE_INT
//   result Value*                  TYPE_VALUE  loaded with the pointer flag
//   result void                    TYPE_VOID   the result is left untouched

#include <string>
#include <type_traits>

#include "host/function_publishing.h"
#include "host/maxscript.h"

namespace paravelle::max3d::fpwrapper {

// Loads a result through the host's variable-argument loader, as the host's own
// function-publishing macros do.
void load_result(FPValue& result, int type, int pointer_flag, ...);

template <class Parameter>
struct parameter_type;

template <>
struct parameter_type<int> {
  static constexpr int code = TYPE_INT;
  static int read(const FPValue& argument) { return argument.i; }
};

template <>
struct parameter_type<float> {
  static constexpr int code = TYPE_FLOAT;
  static float read(const FPValue& argument) { return argument.f; }
};

// Scripts pass strings as script values; any value with a text of its own serves.
template <>
struct parameter_type<const std::wstring&> {
  static constexpr int code = TYPE_VALUE;
  static std::wstring read(const FPValue& argument) {
    const wchar_t* text = argument.v ? argument.v->to_string() : nullptr;
    return text ? std::wstring(text) : std::wstring();
  }
};

template <class Result>
struct result_type;

template <>
struct result_type<bool> {
  static constexpr int code = TYPE_bool;
  static void store(FPValue& result, bool value) { load_result(result, code, 0, static_cast<int>(value)); }
};

template <>
struct result_type<int> {
  static constexpr int code = TYPE_INT;
  static void store(FPValue& result, int value) { load_result(result, code, 0, value); }
};

template <>
struct result_type<Value*> {
  static constexpr int code = TYPE_VALUE;
  static void store(FPValue& result, Value* value) { load_result(result, code, 1, value); }
};

template <>
struct result_type<void> {
  static constexpr int code = TYPE_VOID;
};

template <class Parameter>
concept publishable_parameter = requires {
  parameter_type<Parameter>::code;
};

template <class Result>
concept publishable_result = requires {
  result_type<Result>::code;
};

}  // namespace paravelle::max3d::fpwrapper
