#include "scan/container_scan.h"

#include <cstdio>
#include <vector>

#include "disc/disc_image.h"
#include "disc/ecm.h"
#include "disc/holes.h"
#include "platform/failures.h"
#include "scan/disc_scan.h"

namespace vexlo {

namespace {

// The scan of `bin` as the scan of a file of these bytes with cdimage on;
// no TIM whose bytes would come from `damaged` is reported.
bool scan_bin(InputScan& input, std::span<const uint8_t> bin,
              std::span<const FileRange> damaged = {}) {
  SectorFormat format = SectorFormat::k2352;
  if (probe_disc_image(bin, &format))
    return scan_disc_image(input, bin, 0, format, nullptr, damaged);
  StreamHoles holes;
  for (const FileRange& r : damaged) holes.add(r.begin, r.end);
  const DataStream stream = DataStream::plain(bin).with_holes(holes);
  keep_disc_files(input, stream);
  return scan_stream(input, stream);
}

void no_memory(const std::string& path) {
  std::printf("Skipping %s: not enough memory to load it.\n", path.c_str());
  note_failure();
}

void cannot_read(const std::string& path, const std::string& why) {
  std::printf("Can't read %s: %s.\n", path.c_str(), why.c_str());
  note_failure();
}

}  // namespace

bool is_disc_container(std::span<const uint8_t> file) {
  return pbp::is_pbp(file) || ecm::is_ecm(file);
}

bool DiscContainer::open(std::span<const uint8_t> file, const std::string& path,
                         unsigned threads) {
  file_ = file;
  path_ = path;
  threads_ = threads;
  ecm_ = ecm::is_ecm(file);
  if (!ecm_) {
    pbp::Refusal why = pbp::Refusal::kNone;
    bool ok = false;
    try {
      ok = pbp::open_image(file, pbp_, &why);
    } catch (const std::bad_alloc&) {
      no_memory(path);
      return false;
    }
    if (!ok) cannot_read(path, pbp::refusal_text(why));
    return ok;
  }
  // An ECM is decoded whole before anything is scanned: its checksum comes
  // last, and a mismatch means nothing of it is.
  uint64_t size = 0;
  ecm::Outcome o = ecm::measure(file, &size);
  if (o == ecm::Outcome::kOk) {
    if (!bin_.try_resize(static_cast<std::size_t>(size))) {
      no_memory(path);
      return false;
    }
    o = ecm::decode(file, bin_.span());
  }
  if (o != ecm::Outcome::kOk) {
    cannot_read(path, ecm::outcome_text(o));
    return false;
  }
  return true;
}

bool DiscContainer::scan(InputScan& input) {
  if (ecm_) return scan_bin(input, bin_.span());
  const std::size_t discs = pbp_.discs.size();
  bool limited = false;
  for (std::size_t i = 0; i < discs; ++i) {
    if (discs > 1)
      std::printf("Disc %i of %i in %s\n", static_cast<int>(i + 1),
                  static_cast<int>(discs), path_.c_str());
    std::vector<uint32_t> damaged;
    bool ok = false;
    try {
      ok = bin_.try_resize(static_cast<std::size_t>(pbp_.discs[i].bin_size)) &&
           pbp::decode_disc(file_, pbp_.discs[i], threads_, bin_.span(),
                            damaged);
    } catch (const std::bad_alloc&) {
    }
    if (!ok) {
      no_memory(path_);
      continue;
    }
    std::vector<FileRange> lost;
    for (uint32_t n : damaged) {
      cannot_read(path_, "block " + std::to_string(n) + " is damaged");
      const uint64_t at = uint64_t{n} * pbp::kBlockBytes;
      lost.push_back({at, at + pbp::block_bin_bytes(pbp_.discs[i], n)});
    }
    input.disc_number = static_cast<int>(i + 1);
    input.disc = {};
    // As the files of a tree: the limit ends this disc's scan, and the next
    // disc's goes as far as its first TIM.
    limited = scan_bin(input, bin_.span(), lost);
  }
  return limited;
}

}  // namespace vexlo
