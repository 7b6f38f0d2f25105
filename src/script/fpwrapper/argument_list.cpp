#include "script/fpwrapper/argument_list.h"

#include <cstring>

namespace paravelle::max3d::fpwrapper {

namespace {

constexpr std::size_t kSlotSize = sizeof(std::uint64_t);
// The room a slot of each kind needs before it is written; below it the buffer grows.
constexpr std::size_t kIntegerThreshold = 20;
constexpr std::size_t kPointerThreshold = 24;

std::size_t slots_for(std::size_t bytes) { return (bytes + kSlotSize - 1) / kSlotSize; }

}  // namespace

ArgumentList::ArgumentList() : capacity_(kInitialCapacity), storage_(slots_for(kInitialCapacity), 0) {}

void ArgumentList::append_integer(std::uint32_t value) {
  reserve_room(kIntegerThreshold);
  write_slot(value);
}

void ArgumentList::append_pointer(const void* pointer) {
  reserve_room(kPointerThreshold);
  std::uint64_t bits = 0;
  std::memcpy(&bits, &pointer, sizeof pointer);
  write_slot(bits);
}

void ArgumentList::reserve_room(std::size_t threshold) {
  if (capacity_ - cursor_ >= threshold) return;
  capacity_ = capacity_ * 3 / 2;
  storage_.resize(slots_for(capacity_), 0);
}

void ArgumentList::write_slot(std::uint64_t value) {
  storage_[cursor_ / kSlotSize] = value;
  cursor_ += kSlotSize;
}

}  // namespace paravelle::max3d::fpwrapper
