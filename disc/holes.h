// The holes of a data stream: where its input could not be read (a damaged
// hunk of a CHD). A TIM whose bytes would come from a hole is not one that
// can be reported or patched: its bytes are not the disc's.
#pragma once

#include <cstdint>
#include <vector>

namespace vexlo {

class StreamHoles {
 public:
  // Stream bytes [begin, end) stand for input bytes that could not be read
  // (zeros stand there). An empty range marks a place between two stream
  // bytes where input bytes are missing (the data of a damaged disc sector
  // that the stream leaves out). Holes are added in stream order.
  void add(uint64_t begin, uint64_t end);

  // True when stream bytes [begin, end) hold a byte of a hole, or span a
  // place where bytes are missing.
  bool touches(uint64_t begin, uint64_t end) const;

  // The hole `touches` found first for [begin, end), counted from 0 in the
  // order they were added; -1 when there is none.
  int64_t first_touched(uint64_t begin, uint64_t end) const;

  bool empty() const { return ranges_.empty(); }

 private:
  struct Range {
    uint64_t begin, end;
  };
  std::vector<Range> ranges_;
};

}  // namespace vexlo
