#include "script/fpwrapper/argument_list.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace paravelle::max3d::fpwrapper {
namespace {

TEST(ArgumentList, IntegersFillTheLowHalfOfZeroedSlotsAndPointersTheWholeSlot) {
  ArgumentList list;
  list.append_integer(0xFFFFFFFFu);
  list.append_integer(static_cast<std::uint32_t>(-2));
  const int target = 0;
  list.append_pointer(&target);
  EXPECT_EQ(list.slots()[0], 0x00000000FFFFFFFFull);
  EXPECT_EQ(list.slots()[1], 0x00000000FFFFFFFEull);
  EXPECT_EQ(list.slots()[2], reinterpret_cast<std::uintptr_t>(&target));
  EXPECT_EQ(list.size(), 24u);
}

TEST(ArgumentList, GrowsByHalfWhenASlotWouldLeaveTooLittleRoom) {
  // 126 integer slots leave 16 of 1024 bytes: fewer than an integer slot's 20.
  ArgumentList integers;
  for (std::uint32_t i = 0; i < 126; ++i) integers.append_integer(i);
  EXPECT_EQ(integers.capacity(), 1024u);
  integers.append_integer(126);
  EXPECT_EQ(integers.capacity(), 1536u);

  // A pointer slot needs 24 bytes of room: 125 slots leave exactly that, 126 do not.
  ArgumentList pointers;
  for (std::uint32_t i = 0; i < 125; ++i) pointers.append_integer(i);
  pointers.append_pointer(nullptr);
  EXPECT_EQ(pointers.capacity(), 1024u);
  pointers.append_pointer(nullptr);
  EXPECT_EQ(pointers.capacity(), 1536u);
}

}  // namespace
}  // namespace paravelle::max3d::fpwrapper
