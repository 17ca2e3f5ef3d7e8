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

OffsetLoop::OffsetLoop(InputScan& input, const DataStream& stream,
                       const PackedOrigin* origin)
    : input_(input),
      stream_(stream),
      origin_(origin),
      options_(examine_options(input.run.settings)),
      lo_(static_cast<uint32_t>(input.run.settings.mintimsize)),
      hi_(static_cast<uint32_t>(input.run.settings.maxtimsize)),
      // One level: no stream is opened inside unpacked bytes.
      unpack_(input.run.settings.unpack && origin == nullptr) {
  const int64_t size = static_cast<int64_t>(stream.size());
  const int64_t limit = size - int64_t{input.run.settings.mintimsize};
  if (limit > 0) end_ = static_cast<std::size_t>(std::min(limit, size));
  search_end_ = end_;
  if (unpack_ && stream.size() >= kPackedPairBytes)
    search_end_ = std::max(end_, stream.size() - kPackedPairBytes + 1);
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

void OffsetLoop::name_disc_file(const StreamPlace& place,
                                std::string_view* file,
                                std::optional<uint32_t>* offset) const {
  if (input_.disc.files.empty()) return;
  if (const auto in = disc_file_at(input_.disc, place)) {
    *file = in->file->path;
    *offset = in->offset;
  }
}

std::optional<PackedStream> OffsetLoop::open_packed_at(std::size_t pos) {
  if (stream_.contiguous()) return unpacker_->open(stream_.bytes(), pos);
  // A raw image read in place: the stream's bytes from `pos` are gathered
  // into a window, grown while the decoder wants more of them. Most false
  // candidates fail within their first bytes; a real stream's window grows
  // to its length, and no stream of at most 16 MiB packs into more than
  // 32 MiB.
  constexpr std::size_t kFirstWindow = 64;
  constexpr std::size_t kMaxWindow = std::size_t{32} << 20;
  const std::size_t rest = stream_.size() - pos;
  std::size_t n = std::min(rest, kFirstWindow);
  for (;;) {
    try {
      window_.resize(n);
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    }
    stream_.copy(pos, window_);
    std::optional<PackedStream> s = unpacker_->open(window_, 0);
    if (!unpacker_->wanted_more() || n == rest) return s;
    if (n >= kMaxWindow) return std::nullopt;
    n = std::min({rest, n * 8, kMaxWindow});
  }
}

bool OffsetLoop::look_at_packed(std::size_t pos) {
  if (stream_.size() - pos < kPackedPairBytes) return false;
  uint8_t pair[kPackedPairBytes];
  const uint8_t* p = stream_.read(pos, kPackedPairBytes, pair);
  if (!packed_pair_candidate(p[0], p[1])) return false;
  if (!unpacker_) unpacker_ = std::make_unique<Unpacker>();
  const std::optional<PackedStream> s = open_packed_at(pos);
  if (!s) return false;
  // The stream's packed bytes hold no header of their own (an slz chain's
  // later chunks); a TIM stored in them verbatim is still found.
  packed_until_ = pos + (s->end - s->offset);
  PackedOrigin origin{.scheme = packed_scheme_name(s->scheme),
                      .place = stream_.place(pos),
                      .disc_file = {},
                      .disc_file_offset = std::nullopt};
  name_disc_file(origin.place, &origin.disc_file, &origin.disc_file_offset);
  // Its bytes are scanned like a file of their own, here, before the
  // input's later offsets.
  const DataStream unpacked = DataStream::plain(s->unpacked);
  OffsetLoop loop(input_, unpacked, &origin);
  if (loop.search_end() == 0) return false;
  CandidateCursor candidates(s->unpacked, 0, loop.search_end(),
                             best_candidate_kernel(), loop.filter());
  return loop.run([&] { return candidates.next(); });
}

bool OffsetLoop::look_at_pieces(std::size_t pos) {
  if (unpack_ && pos >= packed_until_ && look_at_packed(pos)) return true;
  if (pos >= end_) return false;
  uint64_t image_pos = 0;
  uint8_t piece[kBlockHeaderSize];
  const std::optional<Examined> found = examine_tim(
      [&](uint64_t at, std::size_t n) {
        return stream_.read(pos + static_cast<std::size_t>(at), n, piece);
      },
      stream_.size() - pos, options_, &image_pos);
  return found && take(pos, *found, image_pos);
}

bool OffsetLoop::take(std::size_t pos, const Examined& found,
                      uint64_t image_pos) {
  // A TIM whose bytes would come from where the input could not be read is
  // not the disc's.
  if (stream_.holes() &&
      stream_.holes()->touches(pos, pos + uint64_t{found.total}))
    return false;
  Run& run = input_.run;
  // Everything printed from here on goes where the status line was.
  Progress::line().clear();
  if (found.total < lo_ || found.total > hi_) return hit_limit(run);
  TimHit hit;
  hit.found = found;
  hit.file = input_.path;
  hit.disc = input_.disc_number;
  if (origin_ != nullptr) {
    hit.place = origin_->place;
    hit.disc_file = origin_->disc_file;
    hit.disc_file_offset = origin_->disc_file_offset;
    hit.packed = origin_->scheme;
    hit.packed_offset = static_cast<uint32_t>(pos);
  } else {
    hit.place = stream_.place(pos);
    name_disc_file(hit.place, &hit.disc_file, &hit.disc_file_offset);
  }
  print_report(hit);
  if (stream_.contiguous()) {
    hit.bytes = stream_.bytes().subspan(pos, found.total);
  } else {
    // The TIM's bytes, gathered as far as its outputs read, unless they lie
    // together in the image.
    const std::size_t n = static_cast<std::size_t>(
        tim_reach(found, image_pos, stream_.size() - pos));
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
    hit.bytes = window.first(found.total);
  }
  emit_tim(run, hit);
  return hit_limit(run);
}

bool scan_stream(InputScan& input, const DataStream& stream,
                 std::optional<CandidateSplit> split, const InputData* source) {
  OffsetLoop loop(input, stream);
  if (loop.search_end() == 0) return false;
  // The search runs ahead on other threads; everything from examine_offset
  // on stays here, in offset order. Leaving the loop stops those threads.
  // Offsets the search skips are ones examine_offset rejects on their first
  // bytes alone, whatever typefilter and strict are, and where no packed
  // header can begin.
  CandidateStream candidates(
      stream.bytes(), loop.search_end(), best_candidate_kernel(), loop.filter(),
      split ? *split : default_split(loop.search_end()), source);
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
