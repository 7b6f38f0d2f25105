#pragma once
// The variable argument list a function-publishing descriptor is read from: 8-byte slots,
// integers in the low 32 bits of theirs, pointers filling theirs.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace paravelle::max3d::fpwrapper {

class ArgumentList {
 public:
  static constexpr std::size_t kInitialCapacity = 1024;

  ArgumentList();

  // The value's 32 bits go into the low half of a zeroed slot: -1 is 0x00000000FFFFFFFF.
  void append_integer(std::uint32_t value);
  void append_pointer(const void* pointer);

  // Capacity and bytes written so far; the capacity grows by half when a slot would
  // leave too little room.
  std::size_t capacity() const { return capacity_; }
  std::size_t size() const { return cursor_; }
  const std::uint64_t* slots() const { return storage_.data(); }

 private:
  void reserve_room(std::size_t threshold);
  void write_slot(std::uint64_t value);

  std::size_t capacity_;
  std::size_t cursor_ = 0;
  // Whole slots cover the byte capacity; only complete slots are ever written.
  std::vector<std::uint64_t> storage_;
};

}  // namespace paravelle::max3d::fpwrapper
