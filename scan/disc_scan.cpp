#include "scan/disc_scan.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "disc/iso9660.h"
#include "extract/extract.h"
#include "platform/aligned_buffer.h"
#include "scan/candidate.h"
#include "scan/candidate_stream.h"
#include "scan/scan_file.h"

namespace vexlo {

namespace {

constexpr std::size_t kStraddle = kCandidateBytes - 1;
constexpr std::size_t kOwn = kSectorDataSize - kStraddle;

// Bit i set: the candidate bytes at `tail` + i, which run on into `next`,
// pass is_candidate.
uint32_t straddle_mask(const uint8_t* tail, const uint8_t* next,
                       CandidateFilter filter) {
  // Every candidate begins with 0x10: most sector ends have none.
  if (std::memchr(tail, 0x10, kStraddle) == nullptr) return 0;
  uint8_t joint[2 * kStraddle];
  std::memcpy(joint, tail, kStraddle);
  std::memcpy(joint + kStraddle, next, kStraddle);
  uint32_t mask = 0;
  for (std::size_t i = 0; i < kStraddle; ++i)
    if (is_candidate(joint + i, filter)) mask |= uint32_t{1} << i;
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
  DiscPass pass;
  DiscMap& map = pass.map;
  map.segment_start.reserve(to - from);
  pass.straddling.reserve(to - from);
  const CandidateKernel kernel = best_candidate_kernel();
  // A few sectors at a time: the candidate search streams them in, and their
  // headers are then read from the cache. Read alone, one line per sector,
  // they cost as much as the whole search.
  constexpr std::size_t kChunk = 64;
  // As the plain scan reads a mapped file: in place where the cache holds
  // it in large pages, else in copies (a TLB miss per 4 KiB page made the
  // pass several times slower). The pages are looked at every 16 chunks.
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
      in_place = source->in_large_page(begin) && source->populate(begin, n);
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
    for (std::size_t i = c; i < c_end; ++i) {
      const std::size_t at = i * size;
      const std::size_t start =
          sector_data_start(view.subspan(at - shift, size), format);
      if (start == 0) continue;
      const uint8_t* data = view.data() + (at - shift) + start;
      if (!map.segment_start.empty())
        pass.straddling.back() = straddle_mask(tail, data, filter);
      std::memcpy(tail, data + kOwn, kStraddle);
      map.segment_start.push_back(static_cast<uint32_t>(at + start));
      pass.straddling.push_back(0);
    }
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

// The offset loop over the data stream of a raw disc image, read in place:
// only offsets whose first bytes straddle two sectors, and the TIMs that are
// reported, are gathered into contiguous memory. Everything else is as
// scan_buffer over a copy of the stream, whose offsets stand for `file` offsets
// in what is shown.
// `pass`, when given, is that of `file` and `map`.
void disc_stream_loop(Run& run, std::span<const uint8_t> file,
                      const DiscMap& map, const DiscPass* pass) {
  const Settings& s = run.settings;
  const int64_t size = static_cast<int64_t>(map.stream_size());
  const int64_t limit = size - static_cast<int64_t>(s.mintimsize);
  if (limit <= 0) return;
  const std::size_t end = static_cast<std::size_t>(limit < size ? limit : size);
  if (end == 0) return;  // as when no sector holds data
  const uint32_t lo = static_cast<uint32_t>(s.mintimsize);
  const uint32_t hi = static_cast<uint32_t>(s.maxtimsize);
  const std::size_t segments = map.segment_start.size();
  const CandidateKernel kernel = best_candidate_kernel();
  const ExamineOptions options = examine_options(s);
  const CandidateFilter filter{.looseflags = s.looseflags};
  std::vector<uint8_t> gathered;

  // Looks at stream offset `pos`; true when the scan is to stop.
  auto look_at = [&](std::size_t pos) {
    uint8_t piece[kBlockHeaderSize];
    auto read = [&](uint64_t at, std::size_t n) -> const uint8_t* {
      const std::size_t p = pos + static_cast<std::size_t>(at);
      const std::size_t in = p % kSectorDataSize;
      if (in + n <= kSectorDataSize)
        return file.data() + map.segment_start[p / kSectorDataSize] + in;
      copy_stream(file, map, p, {piece, n});
      return piece;
    };
    const uint64_t avail = static_cast<uint64_t>(size) - pos;
    uint64_t image_pos = 0;
    const auto found = examine_tim(read, avail, options, &image_pos);
    if (!found) return false;
    if (lo <= found->total && found->total <= hi) {
      const uint32_t shown = raw_offset(map, pos);
      run.last_offset = static_cast<int32_t>(shown);
      const SectorPosition where = sector_position(map, pos);
      run.last_sector = where.sector;
      run.last_sector_offset = where.offset;
      print_report(shown, *found);
      // What the outputs read: the TIM, and the pixels a bitmap takes when
      // the stream holds them all (when it does not, the bitmap is refused
      // on the length alone).
      uint64_t want =
          std::max<uint64_t>(found->total, image_pos + kBlockHeaderSize);
      const uint64_t pixels_end =
          image_pos + kBlockHeaderSize + pixel_data_bytes(found->info);
      if (pixels_end <= avail) want = std::max(want, pixels_end);
      const std::size_t n = static_cast<std::size_t>(want);
      const std::size_t in = pos % kSectorDataSize;
      std::span<const uint8_t> window;
      if (in + n <= kSectorDataSize) {
        window = file.subspan(map.segment_start[pos / kSectorDataSize] + in, n);
      } else {
        try {
          gathered.resize(n);
        } catch (const std::bad_alloc&) {
          std::printf("Could not gather TIM at byte %i: not enough memory.\n",
                      static_cast<int>(shown));
          return hit_limit(run);
        }
        copy_stream(file, map, pos, {gathered.data(), n});
        window = {gathered.data(), n};
      }
      TimInfo info = found->info;
      attach_blocks(info, window, image_pos);
      emit_tim(run, window, 0, found->total, info);
    }
    return hit_limit(run);
  };

  // Offsets whose candidate bytes run on from segment k into segment k + 1:
  // looked at in stream order, after segment k's own. True to stop.
  auto straddles = [&](std::size_t k) {
    if (k + 1 >= segments) return false;
    uint32_t mask =
        pass != nullptr
            ? pass->straddling[k]
            : straddle_mask(file.data() + map.segment_start[k] + kOwn,
                            file.data() + map.segment_start[k + 1], filter);
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t pos = k * kSectorDataSize + kOwn +
                              static_cast<std::size_t>(std::countr_zero(mask));
      if (pos >= end || look_at(pos)) return true;
    }
    return false;
  };

  // The candidates of the whole file, framing and all (the sector data is
  // most of it), in order; those outside the data are dropped here. True to
  // stop.
  std::size_t k = 0;  // segment of the hits; the ones before it are done
  auto on_hit = [&](std::size_t at) {
    while (k < segments && map.segment_start[k] + kSectorDataSize <= at) {
      if (straddles(k)) return true;
      ++k;
    }
    if (k == segments) return true;
    if (at < map.segment_start[k]) return false;  // in the framing
    const std::size_t in = at - map.segment_start[k];
    if (in >= kOwn) return false;  // straddles(k) takes it, with the next data
    const std::size_t pos = k * kSectorDataSize + in;
    return pos >= end || look_at(pos);
  };
  if (pass != nullptr && pass->have_hits) {
    for (const uint32_t at : pass->hits)
      if (on_hit(at)) return;
  } else {
    CandidateCursor candidates(file, map.segment_start[0], file.size(), kernel,
                               filter);
    for (std::size_t at = candidates.next(); at < file.size();
         at = candidates.next())
      if (on_hit(at)) return;
  }
  for (; k < segments; ++k)
    if (straddles(k)) return;
}

}  // namespace

namespace {

// The file system just read, for the catalogue rows of this image.
void keep_disc_files(Run& run, int64_t base, DiscFiles files) {
  run.disc_base = base;
  if (!files.empty())
    run.disc_files = std::make_shared<const DiscFiles>(std::move(files));
}

// Reads the file system of a disc image of `map` whose segment k holds the
// 2048 bytes segment(k) into run.disc_files and run.disc_base.
template <typename Segment>
void read_files_of(Run& run, const DiscMap& map, Segment segment) {
  const std::vector<uint32_t>& starts = map.segment_start;
  // The data of the image's sector `n`: empty past the end and where the
  // sector holds none.
  auto sector_data = [&](int64_t n) -> std::span<const uint8_t> {
    if (n < 0 || static_cast<uint64_t>(n) >= map.whole_sectors) return {};
    const uint64_t at = static_cast<uint64_t>(n) * map.sector_size;
    const auto k = std::lower_bound(starts.begin(), starts.end(), at);
    if (k == starts.end() || *k - at >= map.sector_size) return {};
    return segment(static_cast<std::size_t>(k - starts.begin()));
  };
  // Disc sector n is the image's sector n, unless the image starts before
  // the disc's first sector; then the 17th data sector, where the volume
  // descriptors begin, tells how far.
  auto descriptor_at = [&](int64_t base) {
    const std::span<const uint8_t> d = sector_data(base + 16);
    return !d.empty() && std::memcmp(d.data() + 1, "CD001", 5) == 0;
  };
  int64_t base = 0;
  if (!descriptor_at(0) && starts.size() > 16) {
    const int64_t at = starts[16] / map.sector_size;
    if (descriptor_at(at - 16)) base = at - 16;
  }
  keep_disc_files(run, base, read_iso9660([&](uint32_t n) {
                    return sector_data(base + int64_t{n});
                  }));
}

}  // namespace

void read_disc_files(Run& run, std::span<const uint8_t> file,
                     const DiscMap& map) {
  read_files_of(run, map, [&](std::size_t k) {
    return file.subspan(map.segment_start[k], kSectorDataSize);
  });
}

void read_stream_files(Run& run, std::span<const uint8_t> stream,
                       const DiscMap& map) {
  read_files_of(run, map, [&](std::size_t k) {
    return stream.subspan(k * kSectorDataSize, kSectorDataSize);
  });
}

void read_iso_files(Run& run, std::span<const uint8_t> bytes) {
  if (!is_iso_image(bytes)) return;
  keep_disc_files(
      run, 0, read_iso9660([&](uint32_t n) -> std::span<const uint8_t> {
        if (n >= bytes.size() / kSectorDataSize) return {};
        return bytes.subspan(std::size_t{n} * kSectorDataSize, kSectorDataSize);
      }));
}

void scan_disc_image(Run& run, std::span<const uint8_t> file, unsigned threads,
                     SectorFormat format, const InputData* source) {
  const DiscPass pass = first_pass(
      file, source, format, {.looseflags = run.settings.looseflags}, threads);
  if (run.settings.writeindex) read_disc_files(run, file, pass.map);
  std::printf(
      "Disc image: %i sectors of %i bytes, scanning %i bytes of data.\n",
      static_cast<int>(pass.map.whole_sectors),
      static_cast<int>(pass.map.sector_size),
      static_cast<int>(pass.map.stream_size()));
  disc_stream_loop(run, file, pass.map, &pass);
}

void scan_disc_stream(Run& run, std::span<const uint8_t> file,
                      const DiscMap& map) {
  disc_stream_loop(run, file, map, nullptr);
}

}  // namespace vexlo
