// Repeats: the same TIM found again (a font in every level pack). Each
// reported TIM's bytes are hashed (XXH3-128); the first counted TIM of each
// size and hash keeps its number for the later ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vexlo {

struct TimKey {
  uint64_t low = 0;
  uint64_t high = 0;
  uint32_t size = 0;
  bool operator==(const TimKey&) const = default;
};

TimKey tim_key(std::span<const uint8_t> tim);

// Open addressing over 24-byte slots, grown by a fifth when nine in ten are
// used: at most 32 bytes per TIM recorded (as they are, not while growing).
class RepeatTable {
 public:
  // The number recorded for `key`, or 0.
  int32_t find(const TimKey& key) const;
  // Records `number` (> 0) for `key` unless it has one. Throws bad_alloc,
  // leaving the table as it was.
  void add(const TimKey& key, int32_t number);

  std::size_t size() const { return used_; }
  std::size_t bytes() const { return slots_.capacity() * sizeof(Slot); }

 private:
  struct Slot {
    uint64_t low = 0;
    uint64_t high = 0;
    uint32_t size = 0;
    int32_t number = 0;  // 0: free
  };
  // The slot holding `key`, or the free one where it would go; the table
  // must have a free slot.
  std::size_t slot_of(const TimKey& key) const;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace vexlo
