#pragma once
// A guarded set of script-value slots. The collector scans the slots, and the allocation
// frame pushed for the frame's lifetime keeps every value made meanwhile alive, so C++ code
// can hold script values across evaluations without the collector freeing them under it.

#include <cstddef>
#include <stdexcept>
#include <string>

#include "host/maxscript_runtime.h"

namespace mxs {

template <std::size_t N>
class frame {
 public:
  frame() : slots_(N) {
    init_thread_locals();
    push_alloc_frame();
  }
  ~frame() { pop_alloc_frame(); }
  frame(const frame&) = delete;
  frame& operator=(const frame&) = delete;

  // The next unused slot, emptied. Running out is a programming error: the frame was
  // declared too small for the values it is asked to hold.
  Value*& link() {
    if (linked_ == N) throw std::runtime_error("mxs.frame.link: Index out of bounds [" + std::to_string(N) + "]");
    Value*& slot = slots_[linked_++];
    slot = nullptr;
    return slot;
  }

  std::size_t linked() const { return linked_; }

 private:
  ScopedValueTempArray slots_;
  std::size_t linked_ = 0;
};

}  // namespace mxs
