// What the decoders of packed/ share: bounded reads of the packed bytes and
// an output that never grows past its cap nor copies from before its start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "packed/packed.h"

namespace vexlo::packed_detail {

inline uint32_t le16(const uint8_t* p) { return p[0] | (uint32_t{p[1]} << 8); }
inline uint32_t le24(const uint8_t* p) {
  return le16(p) | (uint32_t{p[2]} << 16);
}
inline uint32_t le32(const uint8_t* p) {
  return le24(p) | (uint32_t{p[3]} << 24);
}
inline uint32_t be24(const uint8_t* p) {
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}
inline uint32_t be32(const uint8_t* p) { return (be24(p) << 8) | p[3]; }

inline bool size_sane(uint64_t n) {
  return n >= kMinUnpackedSize && n <= kMaxUnpackedSize;
}

// The unpacked bytes, written into a buffer the caller keeps between
// candidates. `limit` is the size the stream must reach; nothing is written
// past it. The buffer grows on demand, so a false candidate that declares
// 16 MiB and fails after a few bytes costs a few bytes.
class Output {
 public:
  Output(std::vector<uint8_t>& buf, std::size_t limit)
      : buf_(buf), p_(buf.data()), cap_(buf.size()), limit_(limit) {}

  std::size_t size() const { return n_; }
  std::size_t limit() const { return limit_; }
  bool full() const { return n_ == limit_; }
  // Drops everything from `n` on (a chain's chunk that did not decode).
  void truncate(std::size_t n) { n_ = n; }
  // Raises the cap (the next chunk of a chain).
  void set_limit(std::size_t limit) { limit_ = limit; }
  const uint8_t* data() const { return p_; }

  bool literal(uint8_t b) {
    if (n_ == limit_) return false;
    if (n_ == cap_) grow(1);
    p_[n_++] = b;
    return true;
  }

  bool literals(const uint8_t* src, std::size_t len) {
    if (len == 0) return true;
    if (len > limit_ - n_) return false;
    if (len > cap_ - n_) grow(len);
    std::memcpy(p_ + n_, src, len);
    n_ += len;
    return true;
  }

  bool fill(uint8_t value, std::size_t len) {
    if (len > limit_ - n_) return false;
    if (len > cap_ - n_) grow(len);
    std::memset(p_ + n_, value, len);
    n_ += len;
    return true;
  }

  // `len` bytes from `disp` back; they may overlap what they write.
  bool copy(std::size_t disp, std::size_t len) {
    if (disp == 0 || disp > n_ || len > limit_ - n_) return false;
    // 8 spare bytes let short copies move a word at a time.
    if (len + 8 > cap_ - n_) grow(len + 8);
    uint8_t* d = p_ + n_;
    const uint8_t* s = d - disp;
    n_ += len;
    if (disp >= 8) {
      // Words never overlap their source here; the last may run past
      // `len` into the spare bytes, which later writes overwrite.
      for (std::size_t i = 0; i < len; i += 8) std::memcpy(d + i, s + i, 8);
    } else {
      for (std::size_t i = 0; i < len; ++i) d[i] = s[i];
    }
    return true;
  }

  // Room for `len` bytes written by another decoder (inflate) at data() +
  // size(); returns the room there is, at most up to the cap.
  uint8_t* room(std::size_t want, std::size_t* got) {
    if (want > limit_ - n_) want = limit_ - n_;
    if (want > cap_ - n_) grow(want);
    *got = want;
    return p_ + n_;
  }
  void advance(std::size_t n) { n_ += n; }

 private:
  void grow(std::size_t need) {
    std::size_t want = cap_ < 4096 ? 4096 : cap_ * 2;
    if (want < n_ + need) want = n_ + need;
    // The cap plus the copy's spare word is all a stream can use.
    const std::size_t most = limit_ + 8;
    if (want > most) want = most < n_ + need ? n_ + need : most;
    buf_.resize(want);
    p_ = buf_.data();
    cap_ = buf_.size();
  }

  std::vector<uint8_t>& buf_;
  uint8_t* p_;
  std::size_t cap_;
  std::size_t limit_;
  std::size_t n_ = 0;
};

// One candidate being opened: the data, where its header lies, the buffer
// its unpacked bytes go to and the record being filled. Each decoder reads
// only data[offset, data.size()), and on success fills the scheme's fields
// of `s` (offset, end, fields; not `unpacked`) and `out_size`.
struct Candidate {
  std::span<const uint8_t> data;
  std::size_t offset;
  std::vector<uint8_t>& buf;
  PackedStream& s;
  std::size_t out_size = 0;
  // Set when the decoder wanted bytes at or past the end of the data: with
  // more data there the result might differ (a window of a longer stream).
  bool wanted_more = false;

  // True when n bytes from `pos` lie in the data; else notes wanted_more.
  bool has(std::size_t pos, std::size_t n) {
    if (pos <= data.size() && data.size() - pos >= n) return true;
    wanted_more = true;
    return false;
  }
  // The rest of the data from the header on.
  std::size_t rest() const { return data.size() - offset; }
};

bool open_lzss(Candidate& c);
bool open_napk(Candidate& c);
bool open_ulz(Candidate& c);
bool open_gt_zip(Candidate& c);
bool open_slz(Candidate& c);
bool open_refpack(Candidate& c);

// A cheap look at the first deflate block at `p` (header and, for a block
// of fixed codes, its first symbols): false when inflating it must fail,
// or (setting *wanted_more) when `p` ends before the look does.
bool deflate_start_plausible(std::span<const uint8_t> p, bool* wanted_more);

}  // namespace vexlo::packed_detail
