#include "disc/holes.h"

#include <algorithm>

namespace vexlo {

void StreamHoles::add(uint64_t begin, uint64_t end) {
  if (end < begin) end = begin;
  ranges_.push_back({begin, end});
}

int64_t StreamHoles::first_touched(uint64_t begin, uint64_t end) const {
  // The first hole that ends past `begin` (a missing piece at `begin` itself
  // does not split the bytes from there on).
  const auto it =
      std::upper_bound(ranges_.begin(), ranges_.end(), begin,
                       [](uint64_t at, const Range& r) { return at < r.end; });
  for (auto h = it; h != ranges_.end() && h->begin < end; ++h) {
    const bool gap = h->begin == h->end;
    if (!gap || (h->begin > begin && h->begin < end))
      return h - ranges_.begin();
  }
  return -1;
}

bool StreamHoles::touches(uint64_t begin, uint64_t end) const {
  return first_touched(begin, end) >= 0;
}

}  // namespace vexlo
