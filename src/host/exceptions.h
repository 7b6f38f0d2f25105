#pragma once
// Exceptions the host raises into the plug-in. They are not standard exceptions:
// the plug-in catches them by their own types where it calls the host.

#include <string>

// The host's utility exception: a wide message and a numeric code.
class MAXException {
 public:
  explicit MAXException(std::wstring message, int code = 0) : message_(std::move(message)), code_(code) {}
  virtual ~MAXException() = default;

  const std::wstring& message() const { return message_; }
  int code() const { return code_; }

 private:
  std::wstring message_;
  int code_;
};

namespace MaxSDK::Util {
// Raised by the host's argument arrays when an index is not below their size.
class OutOfRangeException : public MAXException {
 public:
  OutOfRangeException() : MAXException(L"Argument index out of bounds, passed into a MaxSDK::Array::operator[]") {}
};
}  // namespace MaxSDK::Util
