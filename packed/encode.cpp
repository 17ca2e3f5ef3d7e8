#include "packed/encode.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "packed/lz_parse.h"

namespace vexlo {

namespace {

constexpr uint32_t kBit = 16;  // cost units per bit

void put16(PackedBytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void put24(PackedBytes& out, uint32_t v) {
  put16(out, v);
  out.push_back(static_cast<uint8_t>(v >> 16));
}
void put32(PackedBytes& out, uint32_t v) {
  put16(out, v);
  put16(out, v >> 16);
}
void put_be(PackedBytes& out, uint32_t v, int bytes) {
  for (int b = bytes - 1; b >= 0; --b)
    out.push_back(static_cast<uint8_t>(v >> (8 * b)));
}
void set32(PackedBytes& out, std::size_t at, uint32_t v) {
  for (int b = 0; b < 4; ++b) out[at + b] = static_cast<uint8_t>(v >> (8 * b));
}

// Flag bytes in the data, each written in front of the tokens it governs.
class FlagBytes {
 public:
  FlagBytes(PackedBytes& out, bool high_first)
      : out_(out), high_first_(high_first) {}
  void flag(bool set) {
    if (used_ == 8) {
      at_ = out_.size();
      out_.push_back(0);
      used_ = 0;
    }
    if (set)
      out_[at_] |=
          static_cast<uint8_t>(high_first_ ? 0x80 >> used_ : 1 << used_);
    ++used_;
  }

 private:
  PackedBytes& out_;
  bool high_first_;
  std::size_t at_ = 0;
  int used_ = 8;
};

// The first of `tokens` (cheapest first) that writes this copy.
const LzToken* token_for(const std::vector<LzToken>& tokens, const LzOp& op) {
  for (const LzToken& t : tokens)
    if (op.dist <= t.max_dist && op.len >= t.min_len && op.len <= t.max_len)
      return &t;
  return nullptr;
}

LzModel one_copy(uint32_t literal_bits, uint32_t max_dist, uint32_t min_len,
                 uint32_t max_len, uint32_t copy_bits) {
  LzModel m;
  m.literal = literal_bits * kBit;
  m.copies = {{max_dist, min_len, max_len, copy_bits * kBit}};
  return m;
}

bool fits(std::size_t v, int bytes) {
  return bytes >= 8 || v < (uint64_t{1} << (8 * bytes));
}

}  // namespace

std::optional<PackedBytes> encode_lzss(std::span<const uint8_t> data,
                                       const LzssFields& fields) {
  const uint32_t k = fields.length_addon;
  if ((k != 2 && k != 3) || !fits(data.size(), 4)) return std::nullopt;
  const auto ops =
      lz_parse(data, 0, data.size(), 0, one_copy(9, 0x3FF, k, k + 63, 17));
  PackedBytes out = {'L', 'Z', 'S', 'S'};
  put32(out, static_cast<uint32_t>(data.size()));
  FlagBytes flags(out, false);
  std::size_t pos = 0;
  for (const LzOp& op : ops) {
    if (op.kind == LzOp::kLiteral) {
      flags.flag(true);
      out.push_back(data[pos]);
    } else {
      flags.flag(false);
      put16(out, op.dist | ((op.len - k) << 10));
    }
    pos += op.len;
  }
  flags.flag(false);  // the end: a copy from distance 0
  put16(out, 0);
  return out;
}

std::optional<PackedBytes> encode_napk(std::span<const uint8_t> data) {
  if (!fits(data.size(), 4)) return std::nullopt;
  const auto ops =
      lz_parse(data, 0, data.size(), 0, one_copy(9, 256, 3, 258, 17));
  PackedBytes out = {'n', 'a', 'p', 'k'};
  put32(out, static_cast<uint32_t>(data.size()));
  FlagBytes flags(out, true);
  std::size_t pos = 0;
  for (const LzOp& op : ops) {
    if (op.kind == LzOp::kLiteral) {
      flags.flag(false);
      out.push_back(data[pos]);
    } else {
      flags.flag(true);
      out.push_back(static_cast<uint8_t>(op.dist - 1));
      out.push_back(static_cast<uint8_t>(op.len - 3));
    }
    pos += op.len;
  }
  return out;
}

std::optional<PackedBytes> encode_ulz(std::span<const uint8_t> data,
                                      const UlzFields& form) {
  const int n = form.distance_bits;
  const bool upper = form.header == UlzHeader::kUpper;
  if ((form.version != 0 && form.version != 2) || n < 1 || n > 15 ||
      !fits(data.size(), upper ? 4 : 3))
    return std::nullopt;
  const uint32_t add = upper ? 2 : 3;
  const auto ops =
      lz_parse(data, 0, data.size(), 0,
               one_copy(9, 1u << n, add, add + (1u << (16 - n)) - 1, 17));

  // Three streams: flag words, literal bytes, copy codes.
  std::vector<uint32_t> words;
  PackedBytes literals, codes;
  const int per_word = form.version == 0 ? 31 : 32;
  int used = per_word;
  auto close_word = [&] {
    if (form.version == 0 && !words.empty()) {  // the stop bit after the flags
      words.back() |= upper ? 1u << used : 0x80000000u >> used;
    }
  };
  std::size_t pos = 0;
  for (const LzOp& op : ops) {
    if (used == per_word) {
      close_word();
      words.push_back(0);
      used = 0;
    }
    if (op.kind == LzOp::kLiteral) {
      words.back() |= upper ? 1u << used : 0x80000000u >> used;
      literals.push_back(data[pos]);
    } else {
      put16(codes, ((op.len - add) << n) | (op.dist - 1));
    }
    ++used;
    pos += op.len;
  }
  if (form.version == 0) {
    close_word();
    words.push_back(0);  // a word of no flags ends the data
  }

  const std::size_t header = upper ? 0x14 : 0x10;
  const std::size_t literal_at = header + 4 * words.size();
  const std::size_t code_at = literal_at + literals.size();
  if (!fits(literal_at, upper ? 4 : 3) || !fits(code_at, 4))
    return std::nullopt;
  PackedBytes out;
  out.reserve(code_at + codes.size());
  const uint32_t size = static_cast<uint32_t>(data.size());
  const uint8_t version = static_cast<uint8_t>(form.version);
  if (upper) {
    out = {'U', 'L', 'Z', 0x1A, 0, 0, version, static_cast<uint8_t>(n)};
    put32(out, static_cast<uint32_t>(literal_at));
    put32(out, static_cast<uint32_t>(code_at));
    put32(out, size);
  } else {
    out = {'U', 'l', 'z', 0x1A};
    put24(out, size);
    out.push_back(version);
    put24(out, static_cast<uint32_t>(literal_at));
    out.push_back(static_cast<uint8_t>(n));
    put32(out, static_cast<uint32_t>(code_at));
  }
  for (uint32_t w : words) put32(out, w);
  out.insert(out.end(), literals.begin(), literals.end());
  out.insert(out.end(), codes.begin(), codes.end());
  return out;
}

std::optional<PackedBytes> encode_gtzip(std::span<const uint8_t> data) {
  if (!fits(data.size(), 4)) return std::nullopt;
  LzModel model;
  model.literal = 9 * kBit;
  model.copies = {{0x80, 3, 258, 17 * kBit}, {0x8000, 3, 258, 25 * kBit}};
  const auto ops = lz_parse(data, 0, data.size(), 0, model);
  PackedBytes out = {'@', '(', '#', ')', 'G', 'T', '-', 'Z', 'I', 'P', 0, 0};
  put32(out, static_cast<uint32_t>(data.size()));
  FlagBytes flags(out, false);
  std::size_t pos = 0;
  for (const LzOp& op : ops) {
    if (op.kind == LzOp::kLiteral) {
      flags.flag(false);
      out.push_back(data[pos]);
    } else {
      flags.flag(true);
      out.push_back(static_cast<uint8_t>(op.len - 3));
      const uint32_t d = op.dist - 1;
      if (d < 0x80) {
        out.push_back(static_cast<uint8_t>(d));
      } else {
        out.push_back(static_cast<uint8_t>(0x80 | (d >> 8)));
        out.push_back(static_cast<uint8_t>(d));
      }
    }
    pos += op.len;
  }
  return out;
}

std::optional<PackedBytes> encode_slz(std::span<const uint8_t> data,
                                      std::span<const SlzChunk> chunks) {
  uint64_t total = 0;
  for (const SlzChunk& c : chunks) {
    if (c.method > 2) return std::nullopt;
    total += c.unpacked_size;
  }
  if (chunks.empty() || total != data.size()) return std::nullopt;

  LzModel lzss = one_copy(9, 0xFFF, 3, 18, 17);
  LzModel with_fills = one_copy(9, 0xFFF, 3, 17, 17);
  // Fills of 4..18 take a code; longer ones a code and a byte.
  with_fills.fills = {{0, 4, 18, 17 * kBit}, {0, 19, 274, 25 * kBit}};

  PackedBytes out;
  std::size_t start = 0;
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    const SlzChunk& form = chunks[c];
    const std::size_t end = start + form.unpacked_size;
    const std::size_t head = out.size();
    const char* magic = form.magic_01z ? "01Z" : "SLZ";
    out.insert(out.end(), magic, magic + 3);
    out.push_back(form.method);
    out.resize(head + 16, 0);
    if (form.method == 0) {
      out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(start),
                 data.begin() + static_cast<std::ptrdiff_t>(end));
    } else {
      const auto ops = lz_parse(data, start, end, start,
                                form.method == 1 ? lzss : with_fills);
      FlagBytes flags(out, false);
      std::size_t pos = start;
      for (const LzOp& op : ops) {
        flags.flag(op.kind == LzOp::kLiteral);
        if (op.kind == LzOp::kLiteral) {
          out.push_back(data[pos]);
        } else if (op.kind == LzOp::kCopy) {
          put16(out, op.dist | ((op.len - 3) << 12));
        } else if (op.len <= 18) {
          put16(out, 0xF000 | ((op.len - 3) << 8) | data[pos]);
        } else {
          put16(out, 0xF000 | (op.len - 0x13));
          out.push_back(data[pos]);
        }
        pos += op.len;
      }
    }
    const std::size_t packed = out.size() - head - 16;
    if (!fits(packed + 16 + 3, 4)) return std::nullopt;
    set32(out, head + 4, static_cast<uint32_t>(packed));
    set32(out, head + 8, form.unpacked_size);
    if (c + 1 < chunks.size()) {
      const std::size_t next = (packed + 16 + 3) & ~std::size_t{3};
      set32(out, head + 12, static_cast<uint32_t>(next));
      out.resize(head + next, 0);
    }
    start = end;
  }
  return out;
}

std::optional<PackedBytes> encode_refpack(std::span<const uint8_t> data,
                                          RefpackHeader header,
                                          bool size_with_header) {
  const uint8_t form = header == RefpackHeader::k10FB   ? 0x10
                       : header == RefpackHeader::k11FB ? 0x11
                       : header == RefpackHeader::k90FB ? 0x90
                                                        : 0x91;
  const bool wide = (form & 0x80) != 0;
  const bool with_packed = (form & 0x01) != 0;
  if (!fits(data.size(), wide ? 4 : 3)) return std::nullopt;
  LzModel model;
  // A literal costs its byte and, on average, a little of a run command.
  model.literal = 8 * kBit + 2;
  model.copies = {{1024, 3, 10, 16 * kBit},
                  {16384, 4, 67, 24 * kBit},
                  {131072, 5, 1028, 32 * kBit}};
  const auto ops = lz_parse(data, 0, data.size(), 0, model);

  const int field = wide ? 4 : 3;
  PackedBytes out = {form, 0xFB};
  if (with_packed) put_be(out, 0, field);  // set at the end
  put_be(out, static_cast<uint32_t>(data.size()), field);
  std::size_t pos = 0, pending = 0;  // literals not yet written
  // Writes the pending literals in runs of four up to 112, leaving 0..3 for
  // the command that follows; returns where those few start.
  auto runs = [&] {
    std::size_t from = pos - pending;
    while (pending >= 4) {
      const std::size_t k =
          std::min<std::size_t>(112, pending & ~std::size_t{3});
      out.push_back(static_cast<uint8_t>(0xE0 | ((k - 4) >> 2)));
      out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                 data.begin() + static_cast<std::ptrdiff_t>(from + k));
      from += k;
      pending -= k;
    }
    return from;
  };
  for (const LzOp& op : ops) {
    if (op.kind == LzOp::kLiteral) {
      ++pending;
      ++pos;
      continue;
    }
    const std::size_t from = runs();
    const uint32_t r = static_cast<uint32_t>(pending);
    const uint32_t d = op.dist - 1;
    const LzToken* t = token_for(model.copies, op);
    if (t == &model.copies[0]) {
      out.push_back(
          static_cast<uint8_t>(r | ((op.len - 3) << 2) | ((d >> 8) << 5)));
      out.push_back(static_cast<uint8_t>(d));
    } else if (t == &model.copies[1]) {
      out.push_back(static_cast<uint8_t>(0x80 | (op.len - 4)));
      out.push_back(static_cast<uint8_t>((r << 6) | (d >> 8)));
      out.push_back(static_cast<uint8_t>(d));
    } else {
      const uint32_t l = op.len - 5;
      out.push_back(
          static_cast<uint8_t>(0xC0 | r | ((d >> 16) << 4) | ((l >> 8) << 2)));
      out.push_back(static_cast<uint8_t>(d >> 8));
      out.push_back(static_cast<uint8_t>(d));
      out.push_back(static_cast<uint8_t>(l));
    }
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
               data.begin() + static_cast<std::ptrdiff_t>(from + r));
    pending = 0;
    pos += op.len;
  }
  const std::size_t from = runs();
  out.push_back(static_cast<uint8_t>(0xFC | pending));
  out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
             data.begin() + static_cast<std::ptrdiff_t>(from + pending));
  if (with_packed) {
    const std::size_t packed =
        out.size() - (size_with_header ? 0 : 2 + 2 * field);
    if (!fits(packed, field)) return std::nullopt;
    PackedBytes size;
    put_be(size, static_cast<uint32_t>(packed), field);
    std::copy(size.begin(), size.end(), out.begin() + 2);
  }
  return out;
}

PackedBytes deflate_level9(std::span<const uint8_t> data) {
  PackedBytes best;
  bool have = false;
  for (int mem_level : {8, 9}) {
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, -15, mem_level, Z_DEFAULT_STRATEGY) !=
        Z_OK)
      continue;
    PackedBytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.next_out = out.data();
    std::size_t in_left = data.size();
    int rc = Z_OK;
    while (rc == Z_OK) {
      const uInt in_step =
          static_cast<uInt>(std::min<std::size_t>(in_left, 1u << 30));
      z.avail_in = in_step;
      const std::size_t out_used =
          static_cast<std::size_t>(z.next_out - out.data());
      if (out.size() - out_used < 64) {
        out.resize(out.size() * 2);
        z.next_out = out.data() + out_used;
      }
      z.avail_out = static_cast<uInt>(
          std::min<std::size_t>(out.size() - out_used, 1u << 30));
      rc = deflate(&z, in_step == in_left ? Z_FINISH : Z_NO_FLUSH);
      in_left -= in_step - z.avail_in;
    }
    const std::size_t produced =
        static_cast<std::size_t>(z.next_out - out.data());
    deflateEnd(&z);
    if (rc != Z_STREAM_END) continue;
    out.resize(produced);
    if (!have || out.size() < best.size()) best = std::move(out);
    have = true;
  }
  return best;
}

std::optional<PackedBytes> encode_zlib(std::span<const uint8_t> data) {
  PackedBytes out = {0x78, 0xDA};
  const PackedBytes body = deflate_level9(data);
  out.insert(out.end(), body.begin(), body.end());
  uLong adler = adler32(0, nullptr, 0);
  for (std::size_t at = 0; at < data.size(); at += 1u << 30) {
    const std::size_t step = std::min<std::size_t>(data.size() - at, 1u << 30);
    adler = adler32(adler, data.data() + at, static_cast<uInt>(step));
  }
  put_be(out, static_cast<uint32_t>(adler), 4);
  return out;
}

std::optional<PackedBytes> encode_gzip(std::span<const uint8_t> data,
                                       const GzipFields& fields) {
  if (fields.extra.size() > 0xFFFF) return std::nullopt;
  PackedBytes out = {0x1F, 0x8B, 8, fields.flags};
  put32(out, fields.mtime);
  out.push_back(2);  // XFL: packed at the highest level
  out.push_back(fields.os);
  if (fields.flags & 0x04) {
    put16(out, static_cast<uint32_t>(fields.extra.size()));
    out.insert(out.end(), fields.extra.begin(), fields.extra.end());
  }
  for (const auto& [flag, text] :
       {std::pair{0x08, &fields.name}, std::pair{0x10, &fields.comment}}) {
    if (fields.flags & flag) {
      out.insert(out.end(), text->begin(), text->end());
      out.push_back(0);
    }
  }
  if (fields.flags & 0x02)  // FHCRC: the low half of the header's CRC-32
    put16(out, static_cast<uint32_t>(
                   crc32(0, out.data(), static_cast<uInt>(out.size()))));
  const PackedBytes body = deflate_level9(data);
  out.insert(out.end(), body.begin(), body.end());
  uLong crc = crc32(0, nullptr, 0);
  for (std::size_t at = 0; at < data.size(); at += 1u << 30) {
    const std::size_t step = std::min<std::size_t>(data.size() - at, 1u << 30);
    crc = crc32(crc, data.data() + at, static_cast<uInt>(step));
  }
  PackedBytes trailer;
  put32(trailer, static_cast<uint32_t>(crc));
  put32(trailer, static_cast<uint32_t>(data.size()));
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

std::optional<PackedBytes> repack(const PackedStream& old,
                                  std::span<const uint8_t> unpacked) {
  switch (old.scheme) {
    case PackedScheme::kLzss:
      return encode_lzss(unpacked, old.lzss);
    case PackedScheme::kNapk:
      return encode_napk(unpacked);
    case PackedScheme::kUlz:
      return encode_ulz(unpacked, old.ulz);
    case PackedScheme::kGtZip:
      return encode_gtzip(unpacked);
    case PackedScheme::kSlz:
      return encode_slz(unpacked, old.slz);
    case PackedScheme::kRefpack:
      // The packed size counted as the old one was: with the header or not.
      return encode_refpack(
          unpacked, old.refpack.header,
          old.refpack.stored_packed_size == old.end - old.offset);
    case PackedScheme::kZlib:
      return encode_zlib(unpacked);
    case PackedScheme::kGzip: {
      auto out = encode_gzip(unpacked, old.gzip);
      const std::size_t room = old.end - old.offset;
      // A cut-off trailer stays cut where the old member's place ends.
      if (out && !old.gzip.trailer_present && out->size() > room &&
          out->size() - room <= 8)
        out->resize(room);
      return out;
    }
  }
  return std::nullopt;
}

}  // namespace vexlo
