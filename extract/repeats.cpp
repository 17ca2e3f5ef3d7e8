#include "extract/repeats.h"

#include <algorithm>

// Header-only, so that the Windows build needs no library.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vexlo {

TimKey tim_key(std::span<const uint8_t> tim) {
  const XXH128_hash_t h = XXH3_128bits(tim.data(), tim.size());
  return {h.low64, h.high64, static_cast<uint32_t>(tim.size())};
}

std::size_t RepeatTable::slot_of(const TimKey& key) const {
  // The keys are hashes: linear probing from any of their bits spreads well.
  std::size_t i = static_cast<std::size_t>(key.low % slots_.size());
  for (;; i = i + 1 == slots_.size() ? 0 : i + 1) {
    const Slot& s = slots_[i];
    if (s.number == 0 ||
        (s.low == key.low && s.high == key.high && s.size == key.size))
      return i;
  }
}

int32_t RepeatTable::find(const TimKey& key) const {
  return slots_.empty() ? 0 : slots_[slot_of(key)].number;
}

void RepeatTable::add(const TimKey& key, int32_t number) {
  if (find(key) != 0) return;
  if ((used_ + 1) * 10 > slots_.size() * 9) {
    std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 6 / 5));
    old.swap(slots_);
    for (const Slot& s : old)
      if (s.number != 0) slots_[slot_of({s.low, s.high, s.size})] = s;
  }
  slots_[slot_of(key)] = {key.low, key.high, key.size, number};
  ++used_;
}

}  // namespace vexlo
