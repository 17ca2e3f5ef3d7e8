#include "scan/stream_scan.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "extract/extract.h"
#include "platform/progress.h"
#include "scan/candidate.h"

namespace vexlo {

namespace {

// Offsets looked at between two looks at the clock for the status line: a
// look costs about as much as examining a few offsets.
constexpr uint32_t kProgressEvery = 256;

// The disc file holding the byte at `place`, and the byte's offset in it.
std::optional<DiscFiles::Hit> disc_file_at(const DiscFileSystem& disc,
                                           const StreamPlace& place) {
  // The disc sector and the position in its data: from the raw image's
  // sector, or from the offset in a plain image of 2048-byte sectors.
  int64_t sector = place.offset / 2048;
  uint32_t in_sector = place.offset % 2048;
  if (place.sector) {
    sector = int64_t{*place.sector} - disc.base;
    in_sector = place.sector_offset;
  }
  if (sector < 0 || sector > int64_t{UINT32_MAX}) return std::nullopt;
  return disc.files.find(static_cast<uint32_t>(sector), in_sector);
}

// The file system of a disc of `map` whose segment k holds the 2048 bytes
// segment(k).
template <typename Segment>
DiscFileSystem read_files_of(const DiscMap& map, Segment segment) {
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
  return {
      read_iso9660([&](uint32_t n) { return sector_data(base + int64_t{n}); }),
      base};
}

}  // namespace

OffsetLoop::OffsetLoop(InputScan& input, const DataStream& stream)
    : input_(input),
      stream_(stream),
      options_(examine_options(input.run.settings)),
      lo_(static_cast<uint32_t>(input.run.settings.mintimsize)),
      hi_(static_cast<uint32_t>(input.run.settings.maxtimsize)) {
  const int64_t size = static_cast<int64_t>(stream.size());
  const int64_t limit = size - int64_t{input.run.settings.mintimsize};
  if (limit > 0) end_ = static_cast<std::size_t>(std::min(limit, size));
  // The outermost loop of an input tells the status line how far it is.
  Progress& line = Progress::line();
  if (line.on() && !line.busy()) {
    line.begin({.what = input.path.empty() ? std::string("Scanning")
                                           : "Scanning " + input.path,
                .total = stream.size()});
    shows_progress_ = true;
  }
  until_progress_ = kProgressEvery;
}

OffsetLoop::~OffsetLoop() {
  if (shows_progress_) Progress::line().end();
}

void OffsetLoop::show_progress(std::size_t pos) {
  until_progress_ = kProgressEvery;
  if (shows_progress_) Progress::line().update(pos, input_.run.tim_counter - 1);
}

bool OffsetLoop::look_at(std::size_t pos) {
  Run& run = input_.run;
  uint64_t image_pos = 0;
  std::optional<Examined> found;
  const uint64_t avail = stream_.size() - pos;
  if (stream_.contiguous()) {
    found = examine_offset(stream_.bytes(), pos, options_);
  } else {
    uint8_t piece[kBlockHeaderSize];
    found = examine_tim(
        [&](uint64_t at, std::size_t n) {
          return stream_.read(pos + static_cast<std::size_t>(at), n, piece);
        },
        avail, options_, &image_pos);
  }
  if (!found || (stream_.holes() &&
                 stream_.holes()->touches(pos, pos + uint64_t{found->total})))
    return false;
  // Everything printed from here on goes where the status line was.
  Progress::line().clear();
  if (found->total < lo_ || found->total > hi_) return hit_limit(run);
  TimHit hit;
  hit.found = *found;
  hit.place = stream_.place(pos);
  hit.file = input_.path;
  hit.disc = input_.disc_number;
  if (!input_.disc.files.empty()) {
    if (const auto in = disc_file_at(input_.disc, hit.place)) {
      hit.disc_file = in->file->path;
      hit.disc_file_offset = in->offset;
    }
  }
  print_report(hit);
  if (stream_.contiguous()) {
    hit.bytes = stream_.bytes().subspan(pos, found->total);
  } else {
    // The TIM's bytes, gathered as far as its outputs read, unless they lie
    // together in the image.
    const std::size_t n =
        static_cast<std::size_t>(tim_reach(*found, image_pos, avail));
    const uint8_t* at = nullptr;
    if (pos % kSectorDataSize + n <= kSectorDataSize) {
      at = stream_.read(pos, n, nullptr);
    } else {
      try {
        gathered_.resize(n);
      } catch (const std::bad_alloc&) {
        std::printf("Could not gather TIM at byte %i: not enough memory.\n",
                    static_cast<int>(hit.place.offset));
        return hit_limit(run);
      }
      stream_.copy(pos, gathered_);
      at = gathered_.data();
    }
    const std::span<const uint8_t> window(at, n);
    attach_blocks(hit.found.info, window, image_pos);
    hit.bytes = window.first(found->total);
  }
  emit_tim(run, hit);
  return hit_limit(run);
}

bool scan_stream(InputScan& input, const DataStream& stream,
                 std::optional<CandidateSplit> split, const InputData* source) {
  OffsetLoop loop(input, stream);
  if (loop.end() == 0) return false;
  // The search runs ahead on other threads; everything from examine_offset
  // on stays here, in offset order. Leaving the loop stops those threads.
  // Offsets the search skips are ones examine_offset rejects on their first
  // bytes alone, whatever typefilter and strict are.
  CandidateStream candidates(
      stream.bytes(), loop.end(), best_candidate_kernel(),
      {.looseflags = input.run.settings.looseflags},
      split ? *split : default_split(loop.end()), source);
  return loop.run([&] { return candidates.next(); });
}

DiscFileSystem read_disc_files(const DataStream& stream) {
  if (const DiscMap* map = stream.map()) {
    return read_files_of(*map,
                         [&](std::size_t k) { return stream.segment(k); });
  }
  const std::span<const uint8_t> bytes = stream.bytes();
  if (!is_iso_image(bytes)) return {};
  return {read_iso9660([&](uint32_t n) -> std::span<const uint8_t> {
            if (n >= bytes.size() / kSectorDataSize) return {};
            return bytes.subspan(std::size_t{n} * kSectorDataSize,
                                 kSectorDataSize);
          }),
          0};
}

void keep_disc_files(InputScan& input, const DataStream& stream) {
  const Settings& s = input.run.settings;
  if (s.cdimage && s.writeindex) input.disc = read_disc_files(stream);
}

void print_disc_line(const DiscMap& map) {
  std::printf(
      "Disc image: %i sectors of %i bytes, scanning %i bytes of data.\n",
      static_cast<int>(map.whole_sectors), static_cast<int>(map.sector_size),
      static_cast<int>(map.stream_size()));
}

void scan_buffer(Run& run, std::span<const uint8_t> data,
                 std::optional<CandidateSplit> split) {
  InputScan input{.run = run, .path = {}, .disc = {}};
  scan_stream(input, DataStream::plain(data), split);
}

}  // namespace vexlo
