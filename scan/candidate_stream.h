// The candidate search of a large buffer split over the machine's cores,
// its results handed back in strict offset order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "platform/input_file.h"
#include "scan/candidate.h"

namespace vexlo {

// How the search is split: `threads` searching threads in all, the caller's
// included (1: no other thread), over pieces of `piece` bytes.
struct CandidateSplit {
  unsigned threads = 1;
  std::size_t piece = std::size_t{1} << 20;
  // How a thread reads the pieces of a mapped file: in copies, or in the
  // mapping with the piece's page tables filled in first. Which is faster
  // depends on the size of the pages the system keeps the file in, so by
  // default (kByPages) each piece in large pages is read in place and the
  // others in copies.
  enum class Read { kByPages, kCopy, kMapped } read = Read::kByPages;
};

// Buffers smaller than this are searched by the calling thread alone: they
// take less time than starting a thread.
constexpr std::size_t kThreadedMin = std::size_t{16} << 20;

// The split for a search of `bytes` bytes on this machine.
CandidateSplit default_split(std::size_t bytes);

// How every pass reads a mapped file: in place where the system keeps bytes
// [at, at + n) in large pages (true, their page tables filled in first), else
// in copies (source.read_at): in place, a TLB miss per 4 KiB page makes a
// pass several times slower than the copy.
inline bool read_in_place(const InputData& source, std::size_t at,
                          std::size_t n) {
  return source.in_large_page(at) && source.populate(at, n);
}

// Yields exactly what CandidateCursor(data, 0, end, kernel, filter) yields,
// in the same order. Other threads search the pieces ahead of the caller;
// at most 2 * threads pieces' results are held at a time, each as a short
// list or, for dense pieces, a bitmask, so memory stays bounded whatever the
// data. The caller searches the next piece itself when no thread has taken
// it. Destroying the stream stops its threads and joins them.
// With `source`, whose bytes() are `data`, the pieces are searched in copies
// read from it a little at a time (source->read_at), not in `data`.
class CandidateStream {
 public:
  CandidateStream(std::span<const uint8_t> data, std::size_t end,
                  CandidateKernel kernel, CandidateFilter filter,
                  CandidateSplit split, const InputData* source = nullptr);
  ~CandidateStream();
  CandidateStream(const CandidateStream&) = delete;
  CandidateStream& operator=(const CandidateStream&) = delete;

  std::size_t next();

 private:
  struct Slot;
  struct Reader;
  bool start_piece();
  void finish_piece();
  void work(std::size_t thread);
  void wake();
  // Takes the next piece if there is room for its results and searches it;
  // false when there is none to take.
  bool claim_and_search(std::size_t thread);
  void search(std::size_t piece, Slot& slot, std::size_t thread);
  std::size_t piece_end(std::size_t piece) const;

  std::span<const uint8_t> data_;
  std::size_t end_;
  CandidateKernel kernel_;
  CandidateFilter filter_;
  std::size_t piece_size_;
  std::size_t pieces_ = 0;

  const InputData* source_;
  CandidateSplit::Read read_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::vector<Reader> readers_;  // per thread, the caller's first
  std::vector<std::thread> threads_;
  std::atomic<std::size_t> next_claim_{0};  // first piece no one has taken
  std::atomic<std::size_t> consumed_{0};    // pieces the caller is done with
  std::atomic<bool> stop_{false};
  // Waits for a piece's results or for room for them.
  std::mutex mutex_;
  std::condition_variable changed_;

  // The caller's piece and where it is in it.
  std::size_t piece_ = 0;
  enum class Mode { kNone, kCursor, kList, kBits, kDone } mode_ = Mode::kNone;
  std::optional<CandidateCursor> cursor_;
  const Slot* slot_ = nullptr;
  std::size_t index_ = 0;  // next list entry, or bitmask word
  uint64_t word_ = 0;      // rest of the bitmask word before index_
};

}  // namespace vexlo
