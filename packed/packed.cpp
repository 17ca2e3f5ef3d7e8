#include "packed/packed.h"

#include <zlib.h>

#include <array>
#include <climits>
#include <cstring>

#include "packed/unpack_buffer.h"

namespace vexlo {

using namespace packed_detail;

std::string_view packed_scheme_name(PackedScheme scheme) {
  switch (scheme) {
    case PackedScheme::kLzss:
      return "lzss";
    case PackedScheme::kNapk:
      return "napk";
    case PackedScheme::kUlz:
      return "ulz";
    case PackedScheme::kGtZip:
      return "gt-zip";
    case PackedScheme::kSlz:
      return "slz";
    case PackedScheme::kRefpack:
      return "refpack";
    case PackedScheme::kZlib:
      return "zlib";
    case PackedScheme::kGzip:
      return "gzip";
  }
  return "";
}

namespace {

bool zlib_header(const uint8_t* p) {
  return p[0] == 0x78 &&
         (p[1] == 0x01 || p[1] == 0x5E || p[1] == 0x9C || p[1] == 0xDA);
}

// refpack's first command, at `c` with `n` bytes: with no output yet, a
// copy must take its bytes from the literals before it, and the end must
// not come before 8 bytes.
bool refpack_start_plausible(const uint8_t* c, std::size_t n) {
  if (n < 1) return true;
  const uint32_t b0 = c[0];
  if (b0 >= 0xFC) return false;
  if (b0 >= 0xE0) return true;
  if (n < 3) return true;
  uint32_t lits, disp;
  if (b0 < 0x80) {
    lits = b0 & 3;
    disp = ((b0 & 0x60) << 3) + c[1] + 1;
  } else if (b0 < 0xC0) {
    lits = c[1] >> 6;
    disp = ((c[1] & 0x3Fu) << 8) + c[2] + 1;
  } else {
    lits = b0 & 3;
    disp = ((b0 & 0x10) << 12) + (uint32_t{c[1]} << 8) + c[2] + 1;
  }
  return disp <= lits;
}

}  // namespace

bool packed_header_plausible(const uint8_t* p, std::size_t avail) {
  const std::size_t n = avail < kPackedLookBytes ? avail : kPackedLookBytes;
  switch (p[0]) {
    case 'L':
    case 'n':
      if (n < 8) return true;
      return std::memcmp(p, p[0] == 'L' ? "LZSS" : "napk", 4) == 0 &&
             size_sane(le32(p + 4));
    case 'U': {
      if (n < 4) return true;
      const bool lower = std::memcmp(p, "Ulz\x1A", 4) == 0;
      if (!lower && std::memcmp(p, "ULZ\x1A", 4) != 0) return false;
      if (n < (lower ? 16u : 20u)) return true;
      const uint32_t version = lower ? p[7] : p[6];
      const uint32_t bits = lower ? p[11] : p[7];
      const uint32_t lits = lower ? le24(p + 8) : le32(p + 8);
      const uint32_t size = lower ? le24(p + 4) : le32(p + 16);
      return (version == 0 || version == 2) && bits >= 8 && bits <= 15 &&
             size_sane(size) && lits >= (lower ? 16u : 20u) &&
             le32(p + 12) >= lits && (lower || le16(p + 4) == 0);
    }
    case '@':
      if (n < 16) return true;
      return std::memcmp(p, "@(#)GT-ZIP\0\0", 12) == 0 &&
             size_sane(le32(p + 12));
    case 'S':
    case '0': {
      if (n < 3) return true;
      if (p[2] != 'Z' || p[1] != (p[0] == 'S' ? 'L' : '1')) return false;
      if (n < 16) return true;
      const uint32_t unpacked = le32(p + 8);
      return p[3] <= 2 && unpacked != 0 && unpacked <= kMaxUnpackedSize &&
             (p[3] != 0 || le32(p + 4) == unpacked);
    }
    case 0x10:
    case 0x11:
    case 0x90:
    case 0x91: {
      if (p[1] != 0xFB) return false;
      static constexpr uint8_t kStart[4] = {5, 8, 6, 10};
      const std::size_t start = kStart[(p[0] & 1) | (p[0] >> 6 & 2)];
      if (n < start) return true;
      const uint32_t size = p[0] == 0x10   ? be24(p + 2)
                            : p[0] == 0x11 ? be24(p + 5)
                            : p[0] == 0x90 ? be32(p + 2)
                                           : be32(p + 6);
      return size_sane(size) && refpack_start_plausible(p + start, n - start);
    }
    case 0x78: {
      if (!zlib_header(p)) return false;
      bool wanted_more = false;
      return deflate_start_plausible({p + 2, n - 2}, &wanted_more) ||
             wanted_more;
    }
    case 0x1F:
      if (n < 4) return true;
      return p[1] == 0x8B && p[2] == 8 && (p[3] & 0xE0) == 0;
    default:
      return false;
  }
}

// Raw inflate, reset between candidates so that its window is allocated
// once.
struct Unpacker::Inflater {
  z_stream z{};
  bool ready = false;

  ~Inflater() {
    if (ready) inflateEnd(&z);
  }

  // Inflates the deflate data at data[pos...) into `out` (limit: the cap
  // plus one, so that more than the cap shows). Sets *used to the deflate
  // data's length.
  bool run(Candidate& c, std::size_t pos, Output& out, std::size_t* used) {
    if (!ready) {
      if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
      ready = true;
    } else if (inflateReset(&z) != Z_OK) {
      return false;
    }
    const std::span<const uint8_t> data = c.data;
    std::size_t in_at = pos;
    z.avail_in = 0;
    for (;;) {
      if (z.avail_in == 0 && in_at < data.size()) {
        const std::size_t n = data.size() - in_at;
        z.next_in = const_cast<Bytef*>(data.data() + in_at);
        z.avail_in = static_cast<uInt>(n < (1u << 30) ? n : (1u << 30));
        in_at += z.avail_in;
      }
      std::size_t room = 0;
      uint8_t* dst = out.room(out.size() < 65536 ? 16384 : out.size(), &room);
      if (room == 0) return false;  // past the cap
      z.next_out = dst;
      z.avail_out = static_cast<uInt>(room);
      const uInt in_before = z.avail_in;
      const int rc = inflate(&z, Z_NO_FLUSH);
      out.advance(room - z.avail_out);
      if (rc == Z_STREAM_END) {
        *used = in_at - z.avail_in - pos;
        return out.size() <= kMaxUnpackedSize;
      }
      if (rc != Z_OK && rc != Z_BUF_ERROR) return false;
      // No progress and no more input: the data ends inside the stream.
      if (z.avail_out != 0 && z.avail_in == 0 && in_at >= data.size())
        return c.has(data.size(), 1);
      if (rc == Z_BUF_ERROR && in_before == z.avail_in && z.avail_out == room)
        return false;
    }
  }
};

Unpacker::Unpacker() = default;
Unpacker::~Unpacker() = default;

std::optional<PackedStream> Unpacker::open(std::span<const uint8_t> data,
                                           std::size_t offset) {
  wanted_more_ = false;
  if (offset >= data.size() || data.size() - offset < 2) {
    wanted_more_ = true;
    return std::nullopt;
  }
  const uint8_t* p = &data[offset];
  if (!packed_pair_candidate(p[0], p[1])) return std::nullopt;
  PackedStream s;
  Candidate c{.data = data, .offset = offset, .buf = out_, .s = s};
  bool ok = false;
  switch (p[0]) {
    case 'L':
      ok = open_lzss(c);
      break;
    case 'n':
      ok = open_napk(c);
      break;
    case 'U':
      ok = open_ulz(c);
      break;
    case '@':
      ok = open_gt_zip(c);
      break;
    case 'S':
    case '0':
      ok = open_slz(c);
      break;
    case 0x10:
    case 0x11:
    case 0x90:
    case 0x91:
      ok = open_refpack(c);
      break;
    case 0x78:
      ok = open_zlib(c);
      break;
    case 0x1F:
      ok = open_gzip(c);
      break;
    default:
      break;
  }
  wanted_more_ = c.wanted_more;
  if (!ok) return std::nullopt;
  out_.resize(c.out_size);
  s.unpacked = std::move(out_);
  out_ = {};
  return s;
}

bool Unpacker::open_zlib(Candidate& c) {
  // Header, at least one byte of deflate data and the Adler-32.
  if (!c.has(c.offset, 7) || !zlib_header(&c.data[c.offset])) return false;
  if (!deflate_start_plausible(c.data.subspan(c.offset + 2), &c.wanted_more))
    return false;
  if (!inflater_) inflater_ = std::make_unique<Inflater>();
  Output out(out_, std::size_t{kMaxUnpackedSize} + 1);
  std::size_t used = 0;
  if (!inflater_->run(c, c.offset + 2, out, &used)) return false;
  const std::size_t tail = c.offset + 2 + used;
  if (!c.has(tail, 4) || !size_sane(out.size())) return false;
  const uint32_t want = be32(&c.data[tail]);
  if (adler32_z(adler32_z(0, nullptr, 0), out.data(), out.size()) != want)
    return false;
  c.out_size = out.size();
  c.s.scheme = PackedScheme::kZlib;
  c.s.offset = c.offset;
  c.s.end = tail + 4;
  c.s.zlib = {c.data[c.offset], c.data[c.offset + 1]};
  return true;
}

bool Unpacker::open_gzip(Candidate& c) {
  if (!c.has(c.offset, 11)) return false;
  const uint8_t* h = &c.data[c.offset];
  // FTEXT, FHCRC, FEXTRA, FNAME, FCOMMENT; the reserved bits stay clear.
  if (h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & 0xE0) != 0)
    return false;
  GzipFields g;
  g.flags = h[3];
  g.mtime = le32(h + 4);
  g.xfl = h[8];
  g.os = h[9];
  const std::span<const uint8_t> data = c.data;
  std::size_t pos = c.offset + 10;
  if (g.flags & 4) {
    if (!c.has(pos, 2)) return false;
    const std::size_t xlen = le16(&data[pos]);
    pos += 2;
    if (!c.has(pos, xlen)) return false;
    g.extra.assign(data.begin() + static_cast<std::ptrdiff_t>(pos),
                   data.begin() + static_cast<std::ptrdiff_t>(pos + xlen));
    pos += xlen;
  }
  for (const int bit : {8, 16}) {
    if ((g.flags & bit) == 0) continue;
    if (!c.has(pos, 1)) return false;
    const void* z = std::memchr(&data[pos], 0, data.size() - pos);
    if (z == nullptr) return c.has(data.size(), 1);
    const std::size_t stop =
        static_cast<std::size_t>(static_cast<const uint8_t*>(z) - data.data());
    std::string& text = bit == 8 ? g.name : g.comment;
    text.assign(reinterpret_cast<const char*>(&data[pos]), stop - pos);
    pos = stop + 1;
  }
  if (g.flags & 2) {
    if (!c.has(pos, 2)) return false;
    g.header_crc = static_cast<uint16_t>(le16(&data[pos]));
    pos += 2;
  }
  if (!c.has(pos, 1) ||
      !deflate_start_plausible(data.subspan(pos), &c.wanted_more))
    return false;
  if (!inflater_) inflater_ = std::make_unique<Inflater>();
  Output out(out_, std::size_t{kMaxUnpackedSize} + 1);
  std::size_t used = 0;
  if (!inflater_->run(c, pos, out, &used)) return false;
  if (!size_sane(out.size())) return false;
  // Some games write wrong trailers, or none: the deflate data decides.
  const std::size_t tail = pos + used;
  g.trailer_present = c.has(tail, 8);
  if (g.trailer_present) {
    const uint32_t crc = static_cast<uint32_t>(
        crc32_z(crc32_z(0, nullptr, 0), out.data(), out.size()));
    g.trailer_ok = le32(&data[tail]) == crc &&
                   le32(&data[tail + 4]) == static_cast<uint32_t>(out.size());
  }
  c.out_size = out.size();
  c.s.scheme = PackedScheme::kGzip;
  c.s.offset = c.offset;
  c.s.end = g.trailer_present ? tail + 8 : data.size();
  c.s.gzip = std::move(g);
  return true;
}

std::optional<PackedStream> open_packed(std::span<const uint8_t> data,
                                        std::size_t offset) {
  Unpacker u;
  return u.open(data, offset);
}

}  // namespace vexlo
