#include "disc/chd_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vexlo::chd {

namespace {

// BIN bytes, in order, into the stream: whole sectors' data for a raw image
// (a sector of 2448 bytes comes in two pieces), else every byte.
class Sink {
 public:
  Sink(ChdStream& s, std::size_t capacity) : s_(s), capacity_(capacity) {}

  void feed(const uint8_t* p, std::size_t n) {
    if (!s_.layout.raw) {
      n = std::min(n, capacity_ - s_.length);
      std::memcpy(s_.buffer.get() + s_.length, p, n);
      s_.length += n;
      return;
    }
    const std::size_t size = s_.map.sector_size;
    while (n > 0) {
      if (carry_n_ == 0 && n >= size) {
        sector(p);
        p += size;
        n -= size;
        continue;
      }
      const std::size_t k = std::min(n, size - carry_n_);
      std::memcpy(carry_ + carry_n_, p, k);
      carry_n_ += k;
      p += k;
      n -= k;
      if (carry_n_ == size) {
        sector(carry_);
        carry_n_ = 0;
      }
    }
  }

 private:
  void sector(const uint8_t* s) {
    const std::size_t size = s_.map.sector_size;
    const std::size_t n = static_cast<std::size_t>(at_ / size);
    walk_sectors({s, size}, static_cast<std::size_t>(at_), s_.layout.format, n,
                 n + 1, [&](std::size_t, std::size_t data) {
                   if (s_.length + kSectorDataSize > capacity_) return false;
                   std::memcpy(s_.buffer.get() + s_.length, s + (data - at_),
                               kSectorDataSize);
                   s_.length += kSectorDataSize;
                   s_.map.segment_start.push_back(static_cast<uint32_t>(data));
                   return true;
                 });
    at_ += size;
  }

  ChdStream& s_;
  const std::size_t capacity_;
  uint8_t carry_[2448];
  std::size_t carry_n_ = 0;
  uint64_t at_ = 0;  // BIN offset of the next whole sector
};

}  // namespace

bool decode_stream(std::span<const uint8_t> file, const Image& image,
                   DecodeOptions options, ChdStream& out) {
  out = ChdStream();
  out.layout = bin_layout(image);
  std::size_t capacity = static_cast<std::size_t>(image.bin_size);
  if (out.layout.raw) {
    out.map.sector_size = sector_size(out.layout.format);
    out.map.whole_sectors =
        static_cast<std::size_t>(image.bin_size / out.map.sector_size);
    capacity = out.map.whole_sectors * kSectorDataSize;
    options.skip_audio = true;
  }
  // Not zeroed: pages of the stream are only touched as it is written.
  out.buffer.reset(new (std::nothrow)
                       uint8_t[std::max<std::size_t>(capacity, 1)]);
  if (out.buffer == nullptr) return false;
  try {
    if (out.layout.raw) out.map.segment_start.reserve(out.map.whole_sectors);
  } catch (const std::bad_alloc&) {
    return false;
  }
  Sink sink(out, capacity);
  static const uint8_t kZeros[kFrameSize] = {};
  decode_hunks(file, image, options,
               [&](uint32_t n, std::span<const Piece> pieces, bool ok) {
                 if (!ok) {
                   out.damaged.push_back(n);
                   if (out.layout.raw) {
                     out.holes.add(out.length, out.length);
                   } else {
                     const BinRange r = hunk_bin_range(image, n);
                     out.holes.add(r.begin, r.end);
                   }
                 }
                 // A damaged hunk's pieces are zeros: no sector of them
                 // holds data. Nor does audio in a raw image, whatever its
                 // samples look like.
                 for (const Piece& p : pieces)
                   sink.feed(p.audio && out.layout.raw ? kZeros : p.data,
                             p.size);
                 return true;
               });
  return true;
}

}  // namespace vexlo::chd
