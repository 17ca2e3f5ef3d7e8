#include "scan/disc_scan.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "disc/holes.h"
#include "extract/extract.h"
#include "platform/aligned_buffer.h"
#include "scan/candidate.h"
#include "scan/candidate_stream.h"
#include "scan/stream_scan.h"

namespace vexlo {

namespace {

constexpr std::size_t kStraddle = kCandidateBytes - 1;
constexpr std::size_t kOwn = kSectorDataSize - kStraddle;

// Bit i set: the candidate bytes at `tail` + i, which run on into `next`,
// pass is_candidate.
uint32_t straddle_mask(const uint8_t* tail, const uint8_t* next,
                       CandidateFilter filter) {
  // Every TIM candidate begins with 0x10, every packed one with a pair that
  // can begin a header: most sector ends have neither.
  bool pairs = false;
  if (filter.packed) {
    // A byte that can begin no header rules its pair out at one look.
    for (std::size_t i = 0; i < kStraddle && !pairs; ++i)
      pairs = kPackedFirstBytes.v[tail[i]] &&
              (i + 1 < kStraddle ? packed_pair_candidate(tail[i], tail[i + 1])
                                 : next != nullptr &&
                                       packed_pair_candidate(tail[i], next[0]));
  }
  if (!pairs &&
      (next == nullptr || std::memchr(tail, 0x10, kStraddle) == nullptr))
    return 0;
  // The stream's last segment has no next one: its tail alone.
  uint8_t joint[2 * kStraddle];
  std::memcpy(joint, tail, kStraddle);
  const std::size_t n = next != nullptr ? 2 * kStraddle : kStraddle;
  if (next != nullptr) std::memcpy(joint + kStraddle, next, kStraddle);
  uint32_t mask = 0;
  for (std::size_t i = 0; i < kStraddle; ++i)
    if (is_candidate_at(joint + i, n - i, filter)) mask |= uint32_t{1} << i;
  return mask;
}

// What one pass over a raw image finds besides its map: the candidate
// offsets (of the file, in order) and, per data segment, the candidates
// that run on into the next, so that the scan need not touch every sector a
// second time.
struct DiscPass {
  DiscMap map;
  bool have_hits = true;  // false: too many to keep; the scan searches again
  std::vector<uint32_t> hits;
  std::vector<uint32_t> straddling;  // straddle_mask of each segment
};

// Far more than any real image has; 4 MiB.
constexpr std::size_t kMaxHits = std::size_t{1} << 20;

// The pass over sectors [from, to), whose map counts no whole sectors: as
// the whole pass, but the straddling mask of its last segment, which needs
// the next part's first, is left 0.
DiscPass pass_part(std::span<const uint8_t> file, const InputData* source,
                   SectorFormat format, std::size_t from, std::size_t to,
                   CandidateFilter filter) {
  const std::size_t size = sector_size(format);
  if (source != nullptr && !source->mapped()) source = nullptr;
  DiscPass pass;
  DiscMap& map = pass.map;
  map.segment_start.reserve(to - from);
  pass.straddling.reserve(to - from);
  const CandidateKernel kernel = best_candidate_kernel();
  // A few sectors at a time: the candidate search streams them in, and their
  // headers are then read from the cache. Read alone, one line per sector,
  // they cost as much as the whole search.
  constexpr std::size_t kChunk = 64;
  // The file is read as read_in_place says; its pages are looked at every
  // 16 chunks.
  constexpr std::size_t kLook = 16 * kChunk;
  AlignedBuffer copy;
  if (source != nullptr) copy.resize(kChunk * size + kStraddle);
  bool in_place = true;
  uint8_t tail[kStraddle];  // of the last data segment, for its straddles
  for (std::size_t c = from; c < to; c += kChunk) {
    const std::size_t c_end = std::min(to, c + kChunk);
    const std::size_t begin = c * size;
    const std::size_t end = c_end * size;
    if (source != nullptr && (c - from) % kLook == 0) {
      const std::size_t n = std::min(to, c + kLook) * size - begin;
      in_place = read_in_place(*source, begin, n);
    }
    // The chunk's bytes (and the candidate bytes after it) are view[at -
    // shift] for file offset `at`.
    std::span<const uint8_t> view = file;
    std::size_t shift = 0;
    if (!in_place) {
      const std::size_t n = std::min(end + kStraddle, file.size()) - begin;
      if (source->read_at(begin, copy.data(), n)) {
        view = {copy.data(), n};
        shift = begin;
      }
    }
    if (pass.have_hits) {
      CandidateCursor candidates(view, begin - shift, end - shift, kernel,
                                 filter);
      for (std::size_t at = candidates.next(); at < end - shift;
           at = candidates.next()) {
        if (pass.hits.size() == kMaxHits) {
          pass.have_hits = false;
          std::vector<uint32_t>().swap(pass.hits);
          break;
        }
        pass.hits.push_back(static_cast<uint32_t>(at + shift));
      }
    }
    walk_sectors(view, shift, format, c, c_end,
                 [&](std::size_t, std::size_t at) {
                   const uint8_t* data = view.data() + (at - shift);
                   if (!map.segment_start.empty())
                     pass.straddling.back() = straddle_mask(tail, data, filter);
                   std::memcpy(tail, data + kOwn, kStraddle);
                   map.segment_start.push_back(static_cast<uint32_t>(at));
                   pass.straddling.push_back(0);
                   return true;
                 });
  }
  return pass;
}

// Adds `part`, the pass over the sectors after those of `pass`, to it,
// keeping at most kMaxHits hits in all.
void join_part(std::span<const uint8_t> file, DiscPass& pass,
               const DiscPass& part, CandidateFilter filter) {
  std::vector<uint32_t>& starts = pass.map.segment_start;
  const std::vector<uint32_t>& more = part.map.segment_start;
  if (!more.empty()) {
    if (!starts.empty())
      pass.straddling.back() =
          straddle_mask(file.data() + starts.back() + kOwn,
                        file.data() + more.front(), filter);
    starts.insert(starts.end(), more.begin(), more.end());
    pass.straddling.insert(pass.straddling.end(), part.straddling.begin(),
                           part.straddling.end());
  }
  if (pass.have_hits && part.have_hits &&
      part.hits.size() <= kMaxHits - pass.hits.size()) {
    pass.hits.insert(pass.hits.end(), part.hits.begin(), part.hits.end());
  } else if (pass.have_hits) {
    pass.have_hits = false;
    std::vector<uint32_t>().swap(pass.hits);
  }
}

// The pass over the whole image, its sectors split in `threads` runs made
// side by side (0: one per core for a large image). The result is the same
// for any split.
DiscPass first_pass(std::span<const uint8_t> file, const InputData* source,
                    SectorFormat format, CandidateFilter filter,
                    unsigned threads) {
  const std::size_t sectors = file.size() / sector_size(format);
  if (threads == 0) threads = default_split(file.size()).threads;
  const std::size_t parts =
      std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(sectors, 1));
  const auto bound = [&](std::size_t k) { return sectors * k / parts; };
  std::vector<DiscPass> part(parts);
  std::vector<char> made(parts, 0);  // not vector<bool>: written by threads
  std::vector<std::thread> helpers;
  for (std::size_t k = 1; k < parts; ++k) {
    try {
      helpers.emplace_back([&, k] {
        try {
          part[k] =
              pass_part(file, source, format, bound(k), bound(k + 1), filter);
          made[k] = 1;
        } catch (const std::bad_alloc&) {
          // made again below, where a lack of memory is reported
        }
      });
    } catch (const std::system_error&) {
      break;  // the parts without a thread are made below
    }
  }
  try {
    part[0] = pass_part(file, source, format, 0, bound(1), filter);
  } catch (...) {
    for (std::thread& t : helpers) t.join();
    throw;
  }
  for (std::thread& t : helpers) t.join();
  for (std::size_t k = 1; k < parts; ++k)
    if (!made[k])
      part[k] = pass_part(file, source, format, bound(k), bound(k + 1), filter);

  DiscPass pass = std::move(part[0]);
  pass.map.whole_sectors = sectors;
  pass.map.sector_size = sector_size(format);
  for (std::size_t k = 1; k < parts; ++k) {
    join_part(file, pass, part[k], filter);
    part[k] = DiscPass();  // freed as it goes
  }
  return pass;
}

// The candidates of a raw image's data stream read in place, in stream
// order: the pass's candidates of the whole file (framing and all: the
// sector data is most of it) with those outside the data dropped, and after
// each segment's own, those whose first bytes run on into the next segment.
// Only those and the TIMs reported are ever gathered into one piece.
class DiscCandidates {
 public:
  DiscCandidates(std::span<const uint8_t> file, const DiscPass& pass,
                 CandidateFilter filter)
      : pass_(pass),
        starts_(pass.map.segment_start),
        file_(file.data()),
        filter_(filter) {
    // Too many to keep: the pass left them to be searched again.
    if (!pass.have_hits)
      cursor_.emplace(file, starts_[0], file.size(), best_candidate_kernel(),
                      filter);
    file_size_ = file.size();
  }

  // The next stream offset; kDone when there is none.
  std::size_t next() {
    for (;;) {
      if (mask_ != 0) {
        const std::size_t pos =
            straddling_ * kSectorDataSize + kOwn +
            static_cast<std::size_t>(std::countr_zero(mask_));
        mask_ &= mask_ - 1;
        return pos;
      }
      if (!have_hit_) {
        have_hit_ = fetch(&hit_);
        if (!have_hit_) {
          // No candidate is left inside a segment; those running on from
          // one into the next may be.
          if (k_ >= starts_.size()) return kDone;
          leave_segment();
          continue;
        }
      }
      // The hit lies past segment k: its straddles come first.
      if (k_ < starts_.size() && starts_[k_] + kSectorDataSize <= hit_) {
        leave_segment();
        continue;
      }
      have_hit_ = false;
      if (k_ == starts_.size()) return kDone;
      if (hit_ < starts_[k_]) continue;  // in the framing
      const std::size_t in = hit_ - starts_[k_];
      if (in >= kOwn) continue;  // a straddle of segment k, found with it
      return k_ * kSectorDataSize + in;
    }
  }

  static constexpr std::size_t kDone = SIZE_MAX;

 private:
  bool fetch(std::size_t* at) {
    if (cursor_) {
      if (searched_) return false;
      *at = cursor_->next();
      searched_ = *at >= file_size_;
      return !searched_;
    }
    if (next_hit_ == pass_.hits.size()) return false;
    *at = pass_.hits[next_hit_++];
    return true;
  }
  // Done with segment k but for its straddles. The stream's last segment
  // has none but the packed headers in its last bytes.
  void leave_segment() {
    if (k_ + 1 < starts_.size())
      mask_ = pass_.straddling[k_];
    else
      mask_ = filter_.packed
                  ? straddle_mask(file_ + starts_[k_] + kOwn, nullptr, filter_)
                  : 0;
    straddling_ = k_++;
  }

  const DiscPass& pass_;
  const std::vector<uint32_t>& starts_;
  const uint8_t* file_;
  CandidateFilter filter_;
  std::optional<CandidateCursor> cursor_;
  std::size_t file_size_ = 0;
  bool searched_ = false;  // the cursor is at the end
  std::size_t next_hit_ = 0;
  std::size_t hit_ = 0;
  bool have_hit_ = false;
  std::size_t k_ = 0;  // segment of the hits; the ones before it are done
  uint32_t mask_ = 0;  // straddles of segment `straddling_` not yet given
  std::size_t straddling_ = 0;
};

}  // namespace

bool scan_disc_image(InputScan& input, std::span<const uint8_t> file,
                     unsigned threads, SectorFormat format,
                     const InputData* source,
                     std::span<const FileRange> damaged) {
  const CandidateFilter filter = candidate_filter(input.run.settings);
  const DiscPass pass = first_pass(file, source, format, filter, threads);
  // Damaged bytes hold no sector with data: each leaves a place in the
  // stream where data may be missing.
  StreamHoles holes;
  const std::vector<uint32_t>& starts = pass.map.segment_start;
  for (const FileRange& r : damaged) {
    const auto k = std::lower_bound(starts.begin(), starts.end(), r.begin);
    const uint64_t at = uint64_t(k - starts.begin()) * kSectorDataSize;
    holes.add(at, at);
  }
  const DataStream stream =
      DataStream::in_image(file, pass.map).with_holes(holes);
  keep_disc_files(input, stream);
  print_disc_line(pass.map);
  OffsetLoop loop(input, stream);
  // As when no sector holds data.
  if (loop.search_end() == 0) return false;
  DiscCandidates candidates(file, pass, filter);
  return loop.run([&] { return candidates.next(); });
}

}  // namespace vexlo
