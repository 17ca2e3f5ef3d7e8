#include "tests/packed_builder.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

namespace vexlo::test {

namespace {

void le(Bytes& b, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void be(Bytes& b, uint32_t v, int n) {
  for (int i = n - 1; i >= 0; --i)
    b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

struct Match {
  std::size_t len = 0, disp = 0;
};

// Longest match at `pos` within `window` bytes back, by hash chains of
// three bytes; `from` is the first byte copies may reach.
class Matcher {
 public:
  Matcher(const Bytes& in, std::size_t from, std::size_t window)
      : in_(in), from_(from), window_(window) {}

  Match find(std::size_t pos, std::size_t max_len) {
    Match best;
    if (pos + 3 > in_.size()) return best;
    max_len = std::min(max_len, in_.size() - pos);
    auto it = head_.find(key(pos));
    int chain = 0;
    for (std::size_t c = it == head_.end() ? SIZE_MAX : it->second;
         c != SIZE_MAX && chain < 64; c = prev_[c - from_], ++chain) {
      if (pos - c > window_) break;
      std::size_t n = 0;
      while (n < max_len && in_[c + n] == in_[pos + n]) ++n;
      if (n > best.len) best = {n, pos - c};
      if (n == max_len) break;
    }
    return best;
  }

  // Every position is added once, in order.
  void add(std::size_t pos) {
    if (prev_.size() <= pos - from_) prev_.resize(pos - from_ + 1, SIZE_MAX);
    if (pos + 3 > in_.size()) return;
    auto [it, fresh] = head_.try_emplace(key(pos), pos);
    if (!fresh) {
      prev_[pos - from_] = it->second;
      it->second = pos;
    }
  }

 private:
  uint32_t key(std::size_t p) const {
    return in_[p] | (in_[p + 1] << 8) | (in_[p + 2] << 16);
  }
  const Bytes& in_;
  std::size_t from_, window_;
  std::unordered_map<uint32_t, std::size_t> head_;
  std::vector<std::size_t> prev_;
};

// Flag bits packed into units of `bytes` bytes, placed in `out` where the
// decoder reads them: a new unit just before the item that needs it.
class FlagWriter {
 public:
  FlagWriter(Bytes& out, int bytes, bool high_first)
      : out_(out), bytes_(bytes), high_(high_first) {}
  void put(bool bit) {
    if (used_ >= bytes_ * 8) {
      at_ = out_.size();
      out_.insert(out_.end(), static_cast<std::size_t>(bytes_), 0);
      used_ = 0;
    }
    if (bit) {
      const int k = high_ ? bytes_ * 8 - 1 - used_ : used_;
      out_[at_ + static_cast<std::size_t>(k / 8)] |=
          static_cast<uint8_t>(1u << (k % 8));
    }
    ++used_;
  }

 private:
  Bytes& out_;
  int bytes_;
  bool high_;
  std::size_t at_ = 0;
  int used_ = 1 << 20;
};

// The greedy loop shared by the byte-flag schemes: `emit_copy` writes a
// copy's code bytes; a match shorter than `min_len` is a literal.
template <typename EmitCopy>
void greedy(const Bytes& in, std::size_t window, std::size_t min_len,
            std::size_t max_len, FlagWriter& flags, bool literal_bit,
            Bytes& out, EmitCopy emit_copy) {
  Matcher m(in, 0, window);
  for (std::size_t pos = 0; pos < in.size();) {
    const Match best = m.find(pos, max_len);
    const std::size_t n = best.len >= min_len ? best.len : 1;
    if (n == 1) {
      flags.put(literal_bit);
      out.push_back(in[pos]);
    } else {
      flags.put(!literal_bit);
      emit_copy(best);
    }
    for (std::size_t i = 0; i < n; ++i) m.add(pos + i);
    pos += n;
  }
}

}  // namespace

Bytes pack_lzss(const Bytes& in, unsigned k) {
  Bytes out = {'L', 'Z', 'S', 'S'};
  le(out, static_cast<uint32_t>(in.size()), 4);
  FlagWriter flags(out, 1, false);
  greedy(in, 1023, 3, 63 + k, flags, true, out, [&](Match mt) {
    le(out, static_cast<uint32_t>(mt.disp | (mt.len - k) << 10), 2);
  });
  flags.put(false);
  le(out, 0, 2);  // the end: a copy from distance 0
  return out;
}

Bytes pack_napk(const Bytes& in) {
  Bytes out = {'n', 'a', 'p', 'k'};
  le(out, static_cast<uint32_t>(in.size()), 4);
  FlagWriter flags(out, 1, true);
  greedy(in, 256, 3, 258, flags, false, out, [&](Match mt) {
    out.push_back(static_cast<uint8_t>(mt.disp - 1));
    out.push_back(static_cast<uint8_t>(mt.len - 3));
  });
  return out;
}

Bytes pack_gt_zip(const Bytes& in) {
  Bytes out = {'@', '(', '#', ')', 'G', 'T', '-', 'Z', 'I', 'P', 0, 0};
  le(out, static_cast<uint32_t>(in.size()), 4);
  FlagWriter flags(out, 1, false);
  greedy(in, 0x8000, 3, 258, flags, false, out, [&](Match mt) {
    out.push_back(static_cast<uint8_t>(mt.len - 3));
    const std::size_t d = mt.disp - 1;
    if (d < 0x80) {
      out.push_back(static_cast<uint8_t>(d));
    } else {
      out.push_back(static_cast<uint8_t>(0x80 + (d >> 8)));
      out.push_back(static_cast<uint8_t>(d));
    }
  });
  return out;
}

Bytes pack_ulz(const Bytes& in, UlzHeader header, int version, unsigned n) {
  const bool lower = header == UlzHeader::kLower;
  const unsigned addon = lower ? 3 : 2;
  const std::size_t max_len = ((1u << (16 - n)) - 1) + addon;
  std::vector<bool> flag_bits;
  Bytes lits, codes;
  Matcher m(in, 0, std::size_t{1} << n);
  for (std::size_t pos = 0; pos < in.size();) {
    const Match best = m.find(pos, max_len);
    const std::size_t len = best.len >= 3 ? best.len : 1;
    flag_bits.push_back(len == 1);
    if (len == 1)
      lits.push_back(in[pos]);
    else
      le(codes,
         static_cast<uint32_t>((best.disp - 1) | (best.len - addon) << n), 2);
    for (std::size_t i = 0; i < len; ++i) m.add(pos + i);
    pos += len;
  }
  // Words of 32 flags, or of up to 31 and a stop bit after the last.
  const std::size_t per = version == 0 ? 31 : 32;
  Bytes words;
  for (std::size_t i = 0; i < flag_bits.size(); i += per) {
    const std::size_t cnt = std::min(per, flag_bits.size() - i);
    uint32_t w = 0;
    for (std::size_t j = 0; j <= cnt; ++j) {
      const bool bit = j < cnt ? flag_bits[i + j] : version == 0;
      if (j == 32 || !bit) continue;
      w |= lower ? 1u << (31 - j) : 1u << j;
    }
    le(words, w, 4);
  }
  if (version == 0) le(words, 0, 4);
  const std::size_t start = lower ? 16 : 20;
  const uint32_t lit_off = static_cast<uint32_t>(start + words.size());
  const uint32_t code_off = static_cast<uint32_t>(lit_off + lits.size());
  Bytes out = {'U', lower ? uint8_t{'l'} : uint8_t{'L'},
               lower ? uint8_t{'z'} : uint8_t{'Z'}, 0x1A};
  if (lower) {
    le(out, static_cast<uint32_t>(in.size()), 3);
    out.push_back(static_cast<uint8_t>(version));
    le(out, lit_off, 3);
    out.push_back(static_cast<uint8_t>(n));
    le(out, code_off, 4);
  } else {
    le(out, 0, 2);
    out.push_back(static_cast<uint8_t>(version));
    out.push_back(static_cast<uint8_t>(n));
    le(out, lit_off, 4);
    le(out, code_off, 4);
    le(out, static_cast<uint32_t>(in.size()), 4);
  }
  out.insert(out.end(), words.begin(), words.end());
  out.insert(out.end(), lits.begin(), lits.end());
  out.insert(out.end(), codes.begin(), codes.end());
  return out;
}

namespace {

// One chunk's packed data.
Bytes slz_data(const Bytes& in, uint8_t method) {
  if (method == 0) return in;
  Bytes out;
  FlagWriter flags(out, 1, false);
  Matcher m(in, 0, 0xFFF);
  for (std::size_t pos = 0; pos < in.size();) {
    std::size_t run = 1;
    while (method == 2 && pos + run < in.size() && run < 274 &&
           in[pos + run] == in[pos])
      ++run;
    std::size_t n = 1;
    if (run >= 4) {
      // A fill: short for 4 to 18 bytes, else its count in the low byte
      // and the value after.
      flags.put(false);
      if (run <= 18) {
        le(out, static_cast<uint32_t>(0xF000 | (run - 3) << 8 | in[pos]), 2);
      } else {
        le(out, static_cast<uint32_t>(0xF000 | (run - 0x13)), 2);
        out.push_back(in[pos]);
      }
      n = run;
    } else {
      const Match best = m.find(pos, method == 2 ? 17 : 18);
      if (best.len >= 3) {
        flags.put(false);
        le(out, static_cast<uint32_t>(best.disp | (best.len - 3) << 12), 2);
        n = best.len;
      } else {
        flags.put(true);
        out.push_back(in[pos]);
      }
    }
    for (std::size_t i = 0; i < n; ++i) m.add(pos + i);
    pos += n;
  }
  if (method == 1) {  // an end code, never reached: the size ends it first
    flags.put(false);
    le(out, 0, 2);
  }
  return out;
}

}  // namespace

Bytes pack_slz(const Bytes& in, const std::vector<SlzPiece>& pieces) {
  Bytes out;
  std::size_t at = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const SlzPiece& p = pieces[i];
    const Bytes part(in.begin() + static_cast<std::ptrdiff_t>(at),
                     in.begin() + static_cast<std::ptrdiff_t>(at + p.size));
    at += p.size;
    const Bytes data = slz_data(part, p.method);
    const std::size_t head = out.size();
    out.insert(out.end(),
               {p.magic_01z ? uint8_t{'0'} : uint8_t{'S'},
                p.magic_01z ? uint8_t{'1'} : uint8_t{'L'}, 'Z', p.method});
    le(out, static_cast<uint32_t>(data.size()), 4);
    le(out, static_cast<uint32_t>(part.size()), 4);
    const uint32_t next =
        i + 1 == pieces.size()
            ? 0
            : static_cast<uint32_t>((data.size() + 16 + 3) / 4 * 4);
    le(out, next, 4);
    out.insert(out.end(), data.begin(), data.end());
    if (next != 0) out.resize(head + next, 0);
  }
  if (at != in.size()) throw std::logic_error("slz pieces do not cover");
  return out;
}

Bytes pack_refpack(const Bytes& in, RefpackHeader header) {
  Bytes body;
  std::size_t lit_from = 0;
  // Pending literals go out in runs of multiples of four while four or
  // more wait; the last 0 to 3 ride with the next command.
  auto flush = [&](std::size_t pos) {
    while (pos - lit_from >= 4) {
      const std::size_t n =
          std::min<std::size_t>((pos - lit_from) / 4 * 4, 112);
      body.push_back(static_cast<uint8_t>(0xE0 | ((n - 4) >> 2)));
      body.insert(body.end(),
                  in.begin() + static_cast<std::ptrdiff_t>(lit_from),
                  in.begin() + static_cast<std::ptrdiff_t>(lit_from + n));
      lit_from += n;
    }
    return static_cast<uint32_t>(pos - lit_from);
  };
  Matcher m(in, 0, 131072);
  for (std::size_t pos = 0; pos < in.size();) {
    Match b = m.find(pos, 1028);
    const std::size_t d = b.disp - 1;
    bool use = true;
    if (b.len >= 3 && b.len <= 10 && d < 1024) {
    } else if (b.len >= 4 && d < 16384) {
      b.len = std::min<std::size_t>(b.len, 67);
    } else if (b.len >= 5) {
    } else {
      use = false;
    }
    if (!use) {
      m.add(pos++);
      continue;
    }
    const uint32_t lits = flush(pos);
    if (b.len <= 10 && d < 1024) {
      body.push_back(
          static_cast<uint8_t>((d >> 8) << 5 | (b.len - 3) << 2 | lits));
      body.push_back(static_cast<uint8_t>(d));
    } else if (b.len <= 67 && d < 16384) {
      body.push_back(static_cast<uint8_t>(0x80 | (b.len - 4)));
      body.push_back(static_cast<uint8_t>(lits << 6 | d >> 8));
      body.push_back(static_cast<uint8_t>(d));
    } else {
      body.push_back(static_cast<uint8_t>(0xC0 | (d >> 16) << 4 |
                                          ((b.len - 5) >> 8) << 2 | lits));
      body.push_back(static_cast<uint8_t>(d >> 8));
      body.push_back(static_cast<uint8_t>(d));
      body.push_back(static_cast<uint8_t>(b.len - 5));
    }
    body.insert(body.end(), in.begin() + static_cast<std::ptrdiff_t>(lit_from),
                in.begin() + static_cast<std::ptrdiff_t>(pos));
    for (std::size_t i = 0; i < b.len; ++i) m.add(pos + i);
    pos += b.len;
    lit_from = pos;
  }
  const uint32_t rest = flush(in.size());
  body.push_back(static_cast<uint8_t>(0xFC | rest));
  body.insert(body.end(), in.end() - rest, in.end());
  const uint32_t size = static_cast<uint32_t>(in.size());
  Bytes out;
  switch (header) {
    case RefpackHeader::k10FB:
      out = {0x10, 0xFB};
      be(out, size, 3);
      break;
    case RefpackHeader::k11FB:
      out = {0x11, 0xFB};
      be(out, static_cast<uint32_t>(body.size()), 3);
      be(out, size, 3);
      break;
    case RefpackHeader::k90FB:
      out = {0x90, 0xFB};
      be(out, size, 4);
      break;
    case RefpackHeader::k91FB:
      out = {0x91, 0xFB};
      be(out, static_cast<uint32_t>(body.size()), 4);
      be(out, size, 4);
      break;
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes pack_zlib(const Bytes& in) {
  uLongf n = compressBound(static_cast<uLong>(in.size()));
  Bytes out(n);
  if (compress2(out.data(), &n, in.data(), static_cast<uLong>(in.size()), 9) !=
      Z_OK)
    throw std::runtime_error("compress2");
  out.resize(n);
  return out;
}

Bytes pack_gzip(const Bytes& in, GzipTrailer trailer, const std::string& name) {
  Bytes out = {0x1F, 0x8B, 8, static_cast<uint8_t>(name.empty() ? 0 : 8)};
  le(out, 0x12345678, 4);
  out.push_back(2);
  out.push_back(3);
  if (!name.empty()) {
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
  }
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes raw(deflateBound(&z, static_cast<uLong>(in.size())));
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = raw.data();
  z.avail_out = static_cast<uInt>(raw.size());
  deflate(&z, Z_FINISH);
  raw.resize(z.total_out);
  deflateEnd(&z);
  out.insert(out.end(), raw.begin(), raw.end());
  uint32_t crc =
      static_cast<uint32_t>(crc32(0, in.data(), static_cast<uInt>(in.size())));
  if (trailer == GzipTrailer::kWrong) crc ^= 1;
  if (trailer != GzipTrailer::kMissing) le(out, crc, 4);
  if (trailer == GzipTrailer::kRight || trailer == GzipTrailer::kWrong)
    le(out, static_cast<uint32_t>(in.size()), 4);
  return out;
}

Bytes pack_plain(PackedScheme scheme, const Bytes& in) {
  switch (scheme) {
    case PackedScheme::kLzss:
      return pack_lzss(in, 2);
    case PackedScheme::kNapk:
      return pack_napk(in);
    case PackedScheme::kUlz:
      return pack_ulz(in, UlzHeader::kLower, 2, 12);
    case PackedScheme::kGtZip:
      return pack_gt_zip(in);
    case PackedScheme::kSlz:
      return pack_slz(in, {{1, in.size()}});
    case PackedScheme::kRefpack:
      return pack_refpack(in, RefpackHeader::k10FB);
    case PackedScheme::kZlib:
      return pack_zlib(in);
    case PackedScheme::kGzip:
      return pack_gzip(in, GzipTrailer::kRight);
  }
  return {};
}

Bytes compressible(std::size_t n, uint32_t seed) {
  Bytes out;
  uint32_t x = seed * 2654435761u + 1;
  auto rnd = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  while (out.size() < n) {
    const uint32_t r = rnd();
    if (r % 4 == 0 && out.size() > 8) {
      // A repeat of something earlier.
      const std::size_t back =
          1 + rnd() % std::min<std::size_t>(out.size(), 3000);
      const std::size_t len = 3 + rnd() % 40;
      for (std::size_t i = 0; i < len; ++i)
        out.push_back(out[out.size() - back]);
    } else if (r % 4 == 1) {
      out.insert(out.end(), 4 + rnd() % 30, static_cast<uint8_t>(rnd()));
    } else {
      out.push_back(static_cast<uint8_t>(rnd()));
    }
  }
  out.resize(n);
  return out;
}

}  // namespace vexlo::test
