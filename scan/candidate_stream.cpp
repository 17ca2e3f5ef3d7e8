#include "scan/candidate_stream.h"

#include <algorithm>
#include <bit>
#include <new>
#include <system_error>

#include "platform/aligned_buffer.h"

namespace vexlo {

namespace {

// Offsets a piece's list holds before the piece is kept as a bitmask
// instead: random data has a few per MiB, near-miss data one every 12 bytes.
constexpr std::size_t kListCap = 4096;

// Bytes read into a copy at a time: a copy stays in the core's cache while
// it is searched.
constexpr std::size_t kCopy = std::size_t{128} << 10;

// After a piece not in large pages, pieces copied before the next look:
// doubled each time, up to this. A file sits in the page cache mostly in
// large pages or mostly not.
constexpr unsigned kMaxBackoff = 64;

}  // namespace

// How one thread reads its pieces of a mapped file.
struct CandidateStream::Reader {
  AlignedBuffer copy;
  unsigned skip = 0;     // pieces to copy before the next look at the pages
  unsigned backoff = 0;  // the next run of them

  // Whether to look at the next piece's pages.
  bool look() {
    if (skip == 0) return true;
    --skip;
    return false;
  }
  void looked(bool large) {
    backoff = large ? 0 : std::clamp(2 * backoff, 1u, kMaxBackoff);
    skip = backoff;
  }
};

// One piece's results, written by the thread that searched it and read by
// the caller once `ready` names the piece.
struct CandidateStream::Slot {
  std::atomic<std::size_t> ready{0};  // piece + 1 whose results are here
  bool bits = false;                  // mask, not list, holds them
  std::vector<uint32_t> list;         // offsets from the piece's start
  // Bit i: the piece's offset i. Left as allocated (so untouched) until a
  // dense piece needs it.
  std::unique_ptr<uint64_t[]> mask;
  std::size_t words = 0;
};

CandidateSplit default_split(std::size_t bytes) {
  CandidateSplit split;
  if (bytes >= kThreadedMin)
    split.threads = std::clamp(std::thread::hardware_concurrency(), 1u, 64u);
  return split;
}

CandidateStream::CandidateStream(std::span<const uint8_t> data, std::size_t end,
                                 CandidateKernel kernel, CandidateFilter filter,
                                 CandidateSplit split, const InputData* source)
    : data_(data),
      end_(end),
      kernel_(kernel),
      filter_(filter),
      piece_size_(std::max<std::size_t>(split.piece, 64)),
      // Bytes read into memory are searched where they are.
      source_(source != nullptr && source->mapped() ? source : nullptr),
      read_(split.read) {
  const std::size_t bytes = std::min(end, data.size());
  if (bytes == 0) return;
  pieces_ = (bytes - 1) / piece_size_ + 1;
  const std::size_t threads =
      std::min<std::size_t>(std::max(split.threads, 1u), pieces_);
  try {
    if (source_ != nullptr || threads > 1) {
      for (std::size_t i = 0; i < 2 * threads; ++i) {
        auto slot = std::make_unique<Slot>();
        slot->list.reserve(kListCap);
        slot->words = (piece_size_ + 63) / 64;
        slot->mask.reset(new uint64_t[slot->words]);
        slots_.push_back(std::move(slot));
      }
    }
    if (source_ != nullptr) {
      readers_.resize(threads);
      for (Reader& r : readers_) r.copy.resize(kCopy + kCandidateBytes);
    }
    for (std::size_t t = 1; t < threads; ++t)
      threads_.emplace_back([this, t] { work(t); });
  } catch (const std::bad_alloc&) {
  } catch (const std::system_error&) {
  }
  // Whatever could not be had is done without: fewer threads, or the
  // search over `data`. The copies come before the threads: short of them,
  // there are none.
  if (source_ != nullptr &&
      (readers_.size() < threads || readers_.back().copy.empty()))
    source_ = nullptr;
  if (slots_.empty() || (threads_.empty() && source_ == nullptr)) {
    // Alone over `data`: one piece, one cursor.
    slots_.clear();
    piece_size_ = bytes;
    pieces_ = 1;
  }
}

CandidateStream::~CandidateStream() {
  stop_.store(true);
  wake();
  for (std::thread& t : threads_) t.join();
}

void CandidateStream::wake() {
  // Taking the lock orders the change before a waiter's look at it.
  { const std::lock_guard<std::mutex> lock(mutex_); }
  changed_.notify_all();
}

std::size_t CandidateStream::piece_end(std::size_t piece) const {
  return piece + 1 == pieces_ ? std::min(end_, data_.size())
                              : (piece + 1) * piece_size_;
}

void CandidateStream::search(std::size_t piece, Slot& slot,
                             std::size_t thread) {
  const std::size_t from = piece * piece_size_;
  const std::size_t to = piece_end(piece);
  slot.bits = false;
  slot.list.clear();
  auto add = [&](std::size_t at) {
    if (!slot.bits) {
      if (slot.list.size() < kListCap) {
        slot.list.push_back(static_cast<uint32_t>(at));
        return;
      }
      slot.bits = true;
      std::fill_n(slot.mask.get(), slot.words, 0);
      for (const uint32_t x : slot.list)
        slot.mask[x / 64] |= uint64_t{1} << (x % 64);
    }
    slot.mask[at / 64] |= uint64_t{1} << (at % 64);
  };
  // As read_in_place says, looked at less often while the pages are small.
  Reader* reader = source_ != nullptr ? &readers_[thread] : nullptr;
  bool mapped = false;
  if (reader != nullptr) {
    const std::size_t n =
        std::min(to + kCandidateBytes - 1, data_.size()) - from;
    if (read_ == CandidateSplit::Read::kMapped) {
      mapped = source_->populate(from, n);
    } else if (read_ == CandidateSplit::Read::kByPages && reader->look()) {
      mapped = read_in_place(*source_, from, n);
      reader->looked(mapped);
    }
  }
  uint8_t* const copy =
      reader != nullptr && !mapped ? reader->copy.data() : nullptr;
  for (std::size_t part = from; part < to; part += kCopy) {
    const std::size_t part_end = std::min(to, part + kCopy);
    // The offsets up to part_end need the bytes of their candidate after.
    const std::size_t n =
        std::min(part_end + kCandidateBytes - 1, data_.size()) - part;
    if (copy != nullptr && source_->read_at(part, copy, n)) {
      CandidateCursor cursor({copy, n}, 0, part_end - part, kernel_, filter_);
      for (std::size_t off = cursor.next(); off < part_end - part;
           off = cursor.next())
        add(part - from + off);
    } else {
      CandidateCursor cursor(data_, part, part_end, kernel_, filter_);
      for (std::size_t off = cursor.next(); off < part_end; off = cursor.next())
        add(off - from);
    }
  }
}

void CandidateStream::work(std::size_t thread) {
  while (!stop_.load()) {
    if (claim_and_search(thread)) continue;
    if (next_claim_.load() >= pieces_) return;
    // No room: results of `slots_.size()` pieces wait for the caller.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
      return stop_.load() ||
             next_claim_.load() < consumed_.load() + slots_.size();
    });
  }
}

bool CandidateStream::claim_and_search(std::size_t thread) {
  std::size_t i = next_claim_.load();
  do {
    if (i >= pieces_ || i >= consumed_.load() + slots_.size()) return false;
  } while (!next_claim_.compare_exchange_weak(i, i + 1));
  Slot& slot = *slots_[i % slots_.size()];
  search(i, slot, thread);
  slot.ready.store(i + 1, std::memory_order_release);
  wake();
  return true;
}

bool CandidateStream::start_piece() {
  if (piece_ >= pieces_) return false;
  if (slots_.empty()) {
    cursor_.emplace(data_, piece_ * piece_size_, piece_end(piece_), kernel_,
                    filter_);
    mode_ = Mode::kCursor;
    return true;
  }
  // The caller searches pieces too while its next one is not ready.
  const Slot& slot = *slots_[piece_ % slots_.size()];
  const auto ready = [&] {
    return slot.ready.load(std::memory_order_acquire) == piece_ + 1;
  };
  while (!ready()) {
    if (claim_and_search(0)) continue;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, ready);
  }
  slot_ = &slot;
  index_ = 0;
  if (slot.bits) {
    mode_ = Mode::kBits;
    word_ = slot.mask[0];
  } else {
    mode_ = Mode::kList;
  }
  return true;
}

void CandidateStream::finish_piece() {
  ++piece_;
  consumed_.store(piece_);
  if (!threads_.empty()) wake();
}

std::size_t CandidateStream::next() {
  for (;;) {
    const std::size_t base = piece_ * piece_size_;
    switch (mode_) {
      case Mode::kDone:
        return end_;
      case Mode::kNone:
        break;
      case Mode::kCursor: {
        const std::size_t off = cursor_->next();
        if (off < piece_end(piece_)) return off;
        break;
      }
      case Mode::kList:
        if (index_ < slot_->list.size()) return base + slot_->list[index_++];
        break;
      case Mode::kBits:
        for (;;) {
          if (word_ != 0) {
            const std::size_t off =
                base + index_ * 64 +
                static_cast<std::size_t>(std::countr_zero(word_));
            word_ &= word_ - 1;
            return off;
          }
          if (++index_ >= slot_->words) break;
          word_ = slot_->mask[index_];
        }
        break;
    }
    if (mode_ != Mode::kNone) finish_piece();
    if (!start_piece()) {
      mode_ = Mode::kDone;
      return end_;
    }
  }
}

}  // namespace vexlo
