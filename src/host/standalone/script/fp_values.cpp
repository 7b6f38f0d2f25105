// Arguments and results of published functions.

#include <string>

#include "host/function_publishing.h"

void FPValue::Loadva(int value_type, va_list arguments, bool ptr) {
  switch (value_type) {
    case TYPE_INT: i = ptr ? *va_arg(arguments, int*) : va_arg(arguments, int); break;
    case TYPE_FLOAT: f = ptr ? *va_arg(arguments, float*) : static_cast<float>(va_arg(arguments, double)); break;
    case TYPE_bool: b = (ptr ? *va_arg(arguments, bool*) : va_arg(arguments, int) != 0) ? 1 : 0; break;
    case TYPE_VALUE: v = va_arg(arguments, Value*); break;
    case TYPE_VOID: break;
    default: throw MAXException(L"FPValue: unsupported type code " + std::to_wstring(value_type));
  }
  type = value_type;
}

void FPValue::Load(int value_type, ...) {
  va_list arguments;
  va_start(arguments, value_type);
  try {
    Loadva(value_type, arguments, false);
  } catch (...) {
    va_end(arguments);
    throw;
  }
  va_end(arguments);
}

FPValue& FPParams::operator[](int index) {
  if (index < 0 || index >= Count()) throw MaxSDK::Util::OutOfRangeException();
  return params_[static_cast<std::size_t>(index)];
}

const FPValue& FPParams::operator[](int index) const {
  if (index < 0 || index >= Count()) throw MaxSDK::Util::OutOfRangeException();
  return params_[static_cast<std::size_t>(index)];
}
