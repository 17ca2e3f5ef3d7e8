#include "scan/chd_scan.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "disc/disc_image.h"
#include "platform/aligned_buffer.h"
#include "platform/failures.h"
#include "platform/progress.h"
#include "scan/stream_scan.h"

namespace vexlo {

namespace {

// The BIN's bytes, in order, made into what its scan reads: once its first
// sectors say whether it is a raw image (of any sector size), either the
// data of each whole sector with the sector map, or every byte.
class BinSink {
 public:
  explicit BinSink(uint64_t bin_size)
      : bin_size_(bin_size),
        head_size_(std::min<uint64_t>(bin_size, kHeadSize)) {}

  // False when the stream's memory cannot be had.
  bool feed(const uint8_t* p, std::size_t n) {
    if (!decided_) {
      const std::size_t k = std::min<std::size_t>(n, head_size_ - head_.size());
      head_.insert(head_.end(), p, p + k);
      p += k;
      n -= k;
      if (head_.size() < head_size_) return true;
      if (!decide()) return false;
    }
    if (!raw_) {
      std::memcpy(stream_.get() + size_, p, n);
      size_ += n;
      return true;
    }
    while (n > 0) {
      if (carry_n_ == 0 && n >= map_.sector_size) {
        sector(p);
        p += map_.sector_size;
        n -= map_.sector_size;
        continue;
      }
      const std::size_t k = std::min(n, map_.sector_size - carry_n_);
      std::memcpy(carry_ + carry_n_, p, k);
      carry_n_ += k;
      p += k;
      n -= k;
      if (carry_n_ == map_.sector_size) {
        sector(carry_);
        carry_n_ = 0;
      }
    }
    return true;
  }

  // Whether the BIN is a raw image; known once its first sectors are fed.
  bool decided() const { return decided_; }
  bool raw() const { return raw_; }
  std::span<const uint8_t> stream() const { return {stream_.get(), size_}; }
  const DiscMap& map() const { return map_; }

 private:
  bool decide() {
    decided_ = true;
    raw_ = probe_disc_image(head_, &format_);
    map_.sector_size = sector_size(format_);
    map_.whole_sectors = static_cast<std::size_t>(bin_size_ / map_.sector_size);
    const std::size_t capacity = raw_ ? map_.whole_sectors * kSectorDataSize
                                      : static_cast<std::size_t>(bin_size_);
    // Not zeroed: pages of the stream are only touched as it is written.
    stream_.reset(new (std::nothrow)
                      uint8_t[std::max<std::size_t>(capacity, 1)]);
    if (stream_ == nullptr) return false;
    try {
      if (raw_) map_.segment_start.reserve(map_.whole_sectors);
    } catch (const std::bad_alloc&) {
      return false;
    }
    const std::vector<uint8_t> head = std::move(head_);
    return feed(head.data(), head.size());
  }

  void sector(const uint8_t* s) {
    const std::size_t start = sector_data_start({s, map_.sector_size}, format_);
    if (start != 0) {
      std::memcpy(stream_.get() + size_, s + start, kSectorDataSize);
      size_ += kSectorDataSize;
      map_.segment_start.push_back(static_cast<uint32_t>(at_ + start));
    }
    at_ += map_.sector_size;
  }

  // Enough of the BIN for every probe: 16 sectors of 2336, 4 of 2448.
  static constexpr std::size_t kHeadSize = 16 * 2336;

  uint64_t bin_size_;
  std::size_t head_size_;
  std::vector<uint8_t> head_;
  bool decided_ = false;
  bool raw_ = false;
  SectorFormat format_ = SectorFormat::k2352;
  std::unique_ptr<uint8_t[]> stream_;
  std::size_t size_ = 0;
  DiscMap map_;
  uint8_t carry_[2448];
  std::size_t carry_n_ = 0;
  uint64_t at_ = 0;  // BIN offset of the next whole sector
};

enum class HunkState { kPending, kDecoded, kDamaged, kSkipped };

// Hunks decoded ahead by worker threads into a ring of slots, taken in
// order by the one thread that feeds the sink.
class Pipeline {
 public:
  Pipeline(const chd::Image& image, const InputData& data, unsigned threads)
      : image_(image), data_(data), ring_(std::max(4u * threads, 8u)) {
    for (Slot& s : slots_storage()) s.bytes.resize(image.hunk_bytes);
    for (unsigned t = 0; t < threads; ++t) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;  // the taking thread decodes what no worker does
      }
    }
  }
  ~Pipeline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  void skip_audio() { skip_audio_ = true; }

  // Hunk `n`, the next in order: its bytes (zeros unless decoded) and how
  // it came out. Valid until the next call.
  std::span<uint8_t> take(uint32_t n, HunkState* state) {
    Slot& s = slots_[n % ring_];
    if (workers_.empty()) {
      s.state = decode(local_decoder(), n, s.bytes);
    } else {
      std::unique_lock<std::mutex> lock(mutex_);
      if (n > 0) {
        // The slot of the hunk before is free again.
        slots_[(n - 1) % ring_].hunk = kNone;
        taken_ = n;
        changed_.notify_all();
      }
      changed_.wait(lock, [&] { return s.hunk == n; });
    }
    *state = s.state;
    return s.bytes;
  }

 private:
  static constexpr uint64_t kNone = ~uint64_t{0};
  struct Slot {
    AlignedBuffer bytes;
    uint64_t hunk = kNone;
    HunkState state = HunkState::kPending;
  };

  std::vector<Slot>& slots_storage() {
    slots_.resize(ring_);
    return slots_;
  }

  chd::HunkDecoder& local_decoder() {
    if (!local_) local_ = make_decoder();
    return *local_;
  }

  std::unique_ptr<chd::HunkDecoder> make_decoder() {
    auto d = std::make_unique<chd::HunkDecoder>(image_);
    // Read rather than touched through the mapping: the file's pages stay
    // out of this process's memory.
    d->set_reader([this](uint64_t at, std::size_t n, uint8_t* out) {
      return data_.read_at(static_cast<std::size_t>(at), out, n);
    });
    return d;
  }

  HunkState decode(chd::HunkDecoder& d, uint32_t n, std::span<uint8_t> out) {
    if (skip_audio_ && chd::only_audio(image_, n)) {
      std::memset(out.data(), 0, out.size());
      return HunkState::kSkipped;
    }
    bool ok = false;
    try {
      ok = d.decode(data_.bytes(), n, out);
    } catch (const std::bad_alloc&) {
    }
    if (ok) return HunkState::kDecoded;
    std::memset(out.data(), 0, out.size());
    return HunkState::kDamaged;
  }

  void work() {
    std::unique_ptr<chd::HunkDecoder> d;
    try {
      d = make_decoder();
    } catch (const std::bad_alloc&) {
    }
    const uint64_t hunks = image_.map.size();
    for (;;) {
      uint64_t n;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] {
          return stop_ || next_ >= hunks || next_ < taken_ + ring_;
        });
        if (stop_ || next_ >= hunks) return;
        n = next_++;
      }
      Slot& s = slots_[n % ring_];
      const HunkState state = d ? decode(*d, static_cast<uint32_t>(n), s.bytes)
                                : HunkState::kDamaged;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        s.state = state;
        s.hunk = n;
      }
      changed_.notify_all();
    }
  }

  const chd::Image& image_;
  const InputData& data_;
  const uint64_t ring_;
  std::vector<Slot> slots_;
  std::vector<std::thread> workers_;
  std::unique_ptr<chd::HunkDecoder> local_;
  std::atomic<bool> skip_audio_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t next_ = 0;   // next hunk a worker takes
  uint64_t taken_ = 0;  // hunks before this one were taken in order
  bool stop_ = false;
};

}  // namespace

bool open_chd(std::span<const uint8_t> file, const std::string& path,
              chd::Image& image) {
  chd::Refusal why = chd::Refusal::kNone;
  bool ok = false;
  try {
    ok = chd::open_image(file, image, &why);
  } catch (const std::bad_alloc&) {
    why = chd::Refusal::kTooLarge;
  }
  if (!ok) {
    std::printf("Can't read %s: %s.\n", path.c_str(),
                chd::refusal_text(why, image.version).c_str());
    note_failure();
  }
  return ok;
}

bool scan_chd(InputScan& input, const chd::Image& image, const InputData& data,
              unsigned threads) {
  const std::string& path = input.path;
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  BinSink sink(image.bin_size);
  std::vector<uint32_t> damaged;
  bool memory = true;
  Progress& line = Progress::line();
  const uint32_t hunk_count = static_cast<uint32_t>(image.map.size());
  if (line.on())
    line.begin({.what = "Decoding " + path,
                .total = image.bin_size,
                .steps = hunk_count,
                .step_name = "hunks"});
  {
    Pipeline hunks(image, data, threads);
    std::vector<chd::Piece> pieces;
    static const uint8_t kZeros[chd::kFrameSize] = {};
    for (uint32_t n = 0; n < hunk_count && memory; ++n) {
      if (n % 16 == 0 && line.busy())
        line.update(image.bin_size * n / hunk_count, input.run.tim_counter - 1,
                    n);
      // Audio frames of a raw image hold no sync, so no data: once the BIN
      // is known to be raw they are read as zeros, decoded or not (hunks
      // decoded ahead may be), and a damaged hunk of them is not told.
      const bool raw = sink.decided() && sink.raw();
      HunkState state;
      const std::span<uint8_t> bytes = hunks.take(n, &state);
      if (state == HunkState::kDamaged && !(raw && chd::only_audio(image, n)))
        damaged.push_back(n);
      pieces.clear();
      chd::bin_pieces(image, n, bytes, pieces);
      for (const chd::Piece& p : pieces) {
        const bool zero = p.audio && sink.decided() && sink.raw();
        if (!sink.feed(zero ? kZeros : p.data, p.size)) memory = false;
      }
      if (sink.decided() && sink.raw()) hunks.skip_audio();
    }
  }
  line.end();
  if (!memory) {
    std::printf("Skipping %s: not enough memory to load it.\n", path.c_str());
    note_failure();
    return false;
  }
  if (sink.raw()) print_disc_line(sink.map());
  for (uint32_t n : damaged) {
    std::printf("Can't read %s: hunk %i is damaged.\n", path.c_str(),
                static_cast<int>(n));
    note_failure();
  }
  const DataStream stream = sink.raw()
                                ? DataStream::decoded(sink.stream(), sink.map())
                                : DataStream::plain(sink.stream());
  keep_disc_files(input, stream);
  return scan_stream(input, stream);
}

}  // namespace vexlo
