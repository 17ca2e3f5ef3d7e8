#include "disc/ecm.h"

#include <cstring>

#include "disc/disc_image.h"
#include "disc/edc_ecc.h"

namespace vexlo::ecm {

namespace {

constexpr uint8_t kMagic[4] = {'E', 'C', 'M', 0};
constexpr uint32_t kEnd = 0xFFFFFFFF;

enum : uint8_t { kLiteral = 0, kMode1 = 1, kForm1 = 2, kForm2 = 3 };

// Stored and decoded bytes of one item of each type.
constexpr std::size_t kStored[4] = {1, 0x803, 0x804, 0x918};
constexpr std::size_t kDecoded[4] = {1, kRawSectorSize, 2336, 2336};

struct Record {
  uint8_t type = 0;
  uint32_t value = 0;  // stored count, kEnd for the end marker
  uint64_t count() const { return uint64_t{value} + 1; }
};

// Reads the record header at *at. The first byte holds the type in its low
// two bits and five bits of the value; each further byte seven more; bit 7
// says another follows. The fifth byte is the last whatever its bit 7 says.
bool read_header(std::span<const uint8_t> file, std::size_t* at, Record* r) {
  if (*at >= file.size()) return false;
  uint8_t b = file[(*at)++];
  r->type = b & 3;
  uint64_t value = (b >> 2) & 0x1F;
  int shift = 5;
  for (int n = 1; (b & 0x80) != 0 && n < 5; ++n) {
    if (*at >= file.size()) return false;
    b = file[(*at)++];
    value |= uint64_t{b & 0x7Fu} << shift;
    shift += 7;
  }
  r->value = static_cast<uint32_t>(value);
  return true;
}

uint32_t get_u32le(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
         uint32_t{p[3]} << 24;
}

// Walks the records, calling `item(record, stored bytes)` for each whole
// record; the stored EDC comes back in *edc.
template <typename Item>
Outcome walk(std::span<const uint8_t> file, uint32_t* edc, Item&& item) {
  if (!is_ecm(file)) return Outcome::kTruncated;
  std::size_t at = sizeof kMagic;
  for (;;) {
    Record r;
    if (!read_header(file, &at, &r)) return Outcome::kTruncated;
    if (r.value == kEnd) break;
    // The count is at most 2^32 and a stored item at most 0x918 bytes: the
    // product stays far inside 64 bits.
    const uint64_t stored = r.count() * kStored[r.type];
    if (stored > file.size() - at) return Outcome::kTruncated;
    const Outcome o =
        item(r, file.subspan(at, static_cast<std::size_t>(stored)));
    if (o != Outcome::kOk) return o;
    at += static_cast<std::size_t>(stored);
  }
  if (file.size() - at < 4) return Outcome::kTruncated;
  *edc = get_u32le(file.data() + at);
  return Outcome::kOk;
}

// The sector of one stored item of type kMode1, kForm1 or kForm2, made whole
// in `s` (kRawSectorSize bytes); the decoded bytes start at the result.
const uint8_t* rebuild(uint8_t type, const uint8_t* in, uint8_t* s) {
  std::memset(s, 0, 16);
  switch (type) {
    case kMode1:
      std::memset(s + 1, 0xFF, 10);
      std::memcpy(s + 12, in, 3);
      s[15] = 1;
      std::memcpy(s + 16, in + 3, kSectorDataSize);
      rebuild_edc_ecc({s, kRawSectorSize});
      return s;
    case kForm1: {
      // The parity of Form 1 is computed with the header taken as zero.
      std::memcpy(s + 16, in, 4);
      std::memcpy(s + 20, in, 4);
      std::memcpy(s + 24, in + 4, kSectorDataSize);
      const uint32_t edc = sector_edc({s + 16, 2056});
      for (int i = 0; i < 4; ++i)
        s[2072 + i] = static_cast<uint8_t>(edc >> (8 * i));
      write_sector_ecc({s, kRawSectorSize});
      return s + 16;
    }
    default: {
      std::memcpy(s + 16, in, 4);
      std::memcpy(s + 20, in, 4);
      std::memcpy(s + 24, in + 4, 2324);
      const uint32_t edc = sector_edc({s + 16, 2332});
      for (int i = 0; i < 4; ++i)
        s[2348 + i] = static_cast<uint8_t>(edc >> (8 * i));
      return s + 16;
    }
  }
}

}  // namespace

bool is_ecm(std::span<const uint8_t> file) {
  return file.size() >= sizeof kMagic &&
         std::memcmp(file.data(), kMagic, sizeof kMagic) == 0;
}

std::string outcome_text(Outcome o) {
  switch (o) {
    case Outcome::kChecksum:
      return "its checksum does not match";
    case Outcome::kTooLarge:
      return "its BIN would be larger than 2147483647 bytes";
    default:
      return "truncated";
  }
}

Outcome measure(std::span<const uint8_t> file, uint64_t* bin_size) {
  uint64_t size = 0;
  uint32_t edc = 0;
  const Outcome o =
      walk(file, &edc, [&](const Record& r, std::span<const uint8_t>) {
        size += r.count() * kDecoded[r.type];
        return size > kMaxBinSize ? Outcome::kTooLarge : Outcome::kOk;
      });
  if (o == Outcome::kOk) *bin_size = size;
  return o;
}

Outcome decode(std::span<const uint8_t> file, const Sink& sink, bool* stopped) {
  if (stopped != nullptr) *stopped = false;
  uint64_t size = 0;
  uint32_t edc = 0;
  uint32_t stored_edc = 0;
  bool stop = false;
  uint8_t sector[kRawSectorSize];
  const Outcome o = walk(
      file, &stored_edc, [&](const Record& r, std::span<const uint8_t> in) {
        if (stop) return Outcome::kOk;
        size += r.count() * kDecoded[r.type];
        if (size > kMaxBinSize) return Outcome::kTooLarge;
        if (r.type == kLiteral) {
          edc = sector_edc(in, edc);
          stop = !sink(in.data(), in.size());
          return Outcome::kOk;
        }
        const std::size_t n = kDecoded[r.type];
        for (std::size_t at = 0; at < in.size() && !stop;
             at += kStored[r.type]) {
          const uint8_t* out = rebuild(r.type, in.data() + at, sector);
          edc = sector_edc({out, n}, edc);
          stop = !sink(out, n);
        }
        return Outcome::kOk;
      });
  if (stop) {
    if (stopped != nullptr) *stopped = true;
    return Outcome::kOk;
  }
  if (o != Outcome::kOk) return o;
  return edc == stored_edc ? Outcome::kOk : Outcome::kChecksum;
}

Outcome decode(std::span<const uint8_t> file, std::span<uint8_t> bin) {
  std::size_t filled = 0;
  bool overflow = false;
  const Outcome o = decode(file, [&](const uint8_t* p, std::size_t n) {
    if (n > bin.size() - filled) {
      overflow = true;
      return false;
    }
    std::memcpy(bin.data() + filled, p, n);
    filled += n;
    return true;
  });
  // A `bin` of another size than the image's is the caller's mistake; it
  // reads as a cut image rather than bytes written past its end.
  if (overflow || (o == Outcome::kOk && filled != bin.size()))
    return Outcome::kTruncated;
  return o;
}

}  // namespace vexlo::ecm
