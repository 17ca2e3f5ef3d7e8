#include "platform/input_file.h"

#include <mutex>

namespace vexlo {

namespace {

// The buffer of the last small file that was let go. One is enough: the
// scan holds one input at a time, and reinsertion's few at once take fresh
// buffers.
std::mutex g_spare_mutex;
AlignedBuffer g_spare;

}  // namespace

bool InputData::allocate_small(std::size_t capacity) {
  release();
  if (capacity == 0) return true;
  {
    const std::lock_guard<std::mutex> lock(g_spare_mutex);
    small_ = std::move(g_spare);
  }
  if (!small_.try_resize(capacity)) return false;
  data_ = small_.data();
  capacity_ = capacity;
  size_ = 0;
  return true;
}

void InputData::give_back_small() {
  if (small_.capacity() == 0) return;
  AlignedBuffer smaller;  // freed outside the lock
  {
    const std::lock_guard<std::mutex> lock(g_spare_mutex);
    if (small_.capacity() >= g_spare.capacity()) {
      smaller = std::move(g_spare);
      g_spare = std::move(small_);
    }
  }
  small_ = AlignedBuffer();
}

}  // namespace vexlo
