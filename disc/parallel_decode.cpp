#include "disc/parallel_decode.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/aligned_buffer.h"

namespace vexlo {

namespace {

// A decoder's result, damaged when it throws for want of memory.
std::optional<std::size_t> run_decoder(const UnitDecoder& d, uint64_t n,
                                       std::span<uint8_t> out) {
  try {
    const std::optional<std::size_t> made = d(n, out);
    if (made && *made > out.size()) return std::nullopt;
    return made;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

// Units decoded ahead by workers into a ring of slots: unit n goes to slot
// n % ring once the consumer has taken unit n - ring.
class Ring {
 public:
  Ring(uint64_t count, std::size_t unit_bytes, unsigned threads)
      : count_(count),
        unit_bytes_(unit_bytes),
        slots_(std::max<std::size_t>(8, 4 * std::size_t{threads})) {
    for (Slot& s : slots_) s.bytes.resize(std::max<std::size_t>(unit_bytes, 1));
  }

  ~Ring() { stop(); }

  void start(unsigned threads, const std::function<UnitDecoder()>& make) {
    for (unsigned t = 0; t < threads; ++t) {
      try {
        workers_.emplace_back([this, &make] { work(make); });
      } catch (const std::system_error&) {
        break;
      }
    }
    if (workers_.empty()) throw std::bad_alloc();  // no thread at all
  }

  // Unit n, the next in order, once a worker made it.
  std::span<uint8_t> take(uint64_t n, bool* ok) {
    Slot& s = slot(n);
    std::unique_lock<std::mutex> lock(mutex_);
    if (n > 0) {
      slot(n - 1).unit = kNone;  // free for unit n - 1 + ring
      taken_ = n;
      changed_.notify_all();
    }
    changed_.wait(lock, [&] { return s.unit == n; });
    *ok = s.made.has_value();
    return {s.bytes.data(), s.made.value_or(0)};
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
  }

 private:
  static constexpr uint64_t kNone = ~uint64_t{0};
  struct Slot {
    AlignedBuffer bytes;  // decoders may read file bytes straight into it
    uint64_t unit = kNone;
    std::optional<std::size_t> made;
  };

  Slot& slot(uint64_t n) { return slots_[n % slots_.size()]; }

  void work(const std::function<UnitDecoder()>& make) {
    UnitDecoder d;
    try {
      d = make();
    } catch (const std::bad_alloc&) {
    }
    for (;;) {
      uint64_t n;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] {
          return stop_ || next_ >= count_ || next_ < taken_ + slots_.size();
        });
        if (stop_ || next_ >= count_) return;
        n = next_++;
      }
      Slot& s = slot(n);
      const std::optional<std::size_t> made =
          d ? run_decoder(d, n, {s.bytes.data(), unit_bytes_}) : std::nullopt;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        s.made = made;
        s.unit = n;
      }
      changed_.notify_all();
    }
  }

  const uint64_t count_;
  const std::size_t unit_bytes_;
  std::vector<Slot> slots_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t next_ = 0;   // the next unit a worker takes
  uint64_t taken_ = 0;  // units before this one were taken
  bool stop_ = false;
};

}  // namespace

bool decode_in_order(uint64_t count, std::size_t unit_bytes, unsigned threads,
                     const std::function<UnitDecoder()>& make_decoder,
                     const UnitConsumer& consume) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  if (threads > 1 && count > 1) {
    std::unique_ptr<Ring> ring;
    try {
      ring = std::make_unique<Ring>(count, unit_bytes, threads);
      ring->start(threads, make_decoder);
    } catch (const std::bad_alloc&) {
      ring.reset();  // decoded on this thread alone below
    }
    if (ring) {
      for (uint64_t n = 0; n < count; ++n) {
        bool ok = false;
        const std::span<uint8_t> bytes = ring->take(n, &ok);
        if (!consume(n, ok ? bytes : std::span<uint8_t>(), ok)) return false;
      }
      return true;
    }
  }
  const UnitDecoder d = make_decoder();
  AlignedBuffer buffer(std::max<std::size_t>(unit_bytes, 1));
  for (uint64_t n = 0; n < count; ++n) {
    const std::optional<std::size_t> made =
        run_decoder(d, n, {buffer.data(), unit_bytes});
    const std::span<uint8_t> bytes(buffer.data(), made.value_or(0));
    if (!consume(n, bytes, made.has_value())) return false;
  }
  return true;
}

}  // namespace vexlo
