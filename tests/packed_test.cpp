#include "packed/packed.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>

#include "tests/packed_builder.h"

namespace vexlo {
namespace {

using test::Bytes;
using test::compressible;

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct RoundTrip {
  const char* name;
  PackedScheme scheme;
  std::function<Bytes(const Bytes&)> pack;
  std::function<void(const PackedStream&)> check = [](const PackedStream&) {};
  std::size_t size = 5000;
  // The stream's end lies at the end of the data (gzip without a full
  // trailer), so nothing may follow it.
  bool runs_to_end = false;
};

TEST(Packed, EveryFormUnpacksToItsInputAndTellsHowItWasWritten) {
  using G = test::GzipTrailer;
  const RoundTrip cases[] = {
      {"lzss add-on 2", PackedScheme::kLzss,
       [](const Bytes& b) { return test::pack_lzss(b, 2); },
       [](const PackedStream& s) { EXPECT_EQ(s.lzss.length_addon, 2); }},
      {"lzss add-on 3", PackedScheme::kLzss,
       [](const Bytes& b) { return test::pack_lzss(b, 3); },
       [](const PackedStream& s) { EXPECT_EQ(s.lzss.length_addon, 3); }},
      {"napk", PackedScheme::kNapk, test::pack_napk},
      {"gt-zip, far copies",
       PackedScheme::kGtZip,
       test::pack_gt_zip,
       {},
       40000},
      {"ulz Ulz v0", PackedScheme::kUlz,
       [](const Bytes& b) {
         return test::pack_ulz(b, UlzHeader::kLower, 0, 10);
       },
       [](const PackedStream& s) {
         EXPECT_EQ(s.ulz.header, UlzHeader::kLower);
         EXPECT_EQ(s.ulz.version, 0);
         EXPECT_EQ(s.ulz.distance_bits, 10);
       }},
      {"ulz Ulz v2", PackedScheme::kUlz,
       [](const Bytes& b) {
         return test::pack_ulz(b, UlzHeader::kLower, 2, 13);
       },
       [](const PackedStream& s) {
         EXPECT_EQ(s.ulz.version, 2);
         EXPECT_EQ(s.ulz.distance_bits, 13);
       }},
      {"ulz ULZ v0", PackedScheme::kUlz,
       [](const Bytes& b) {
         return test::pack_ulz(b, UlzHeader::kUpper, 0, 12);
       },
       [](const PackedStream& s) {
         EXPECT_EQ(s.ulz.header, UlzHeader::kUpper);
         EXPECT_EQ(s.ulz.version, 0);
       }},
      {"ulz ULZ v2", PackedScheme::kUlz,
       [](const Bytes& b) {
         return test::pack_ulz(b, UlzHeader::kUpper, 2, 11);
       },
       [](const PackedStream& s) {
         EXPECT_EQ(s.ulz.header, UlzHeader::kUpper);
         EXPECT_EQ(s.ulz.version, 2);
         EXPECT_EQ(s.ulz.distance_bits, 11);
       }},
      {"slz stored", PackedScheme::kSlz,
       [](const Bytes& b) {
         return test::pack_slz(b, {{0, b.size()}});
       },
       [](const PackedStream& s) {
         ASSERT_EQ(s.slz.size(), 1u);
         EXPECT_EQ(s.slz[0].method, 0);
       }},
      {"slz chain of all three methods", PackedScheme::kSlz,
       [](const Bytes& b) {
         return test::pack_slz(b, {{2, 1000}, {0, 333, true}, {1, 3667}});
       },
       [](const PackedStream& s) {
         ASSERT_EQ(s.slz.size(), 3u);
         EXPECT_EQ(s.slz[0].method, 2);
         EXPECT_EQ(s.slz[1].method, 0);
         EXPECT_TRUE(s.slz[1].magic_01z);
         EXPECT_EQ(s.slz[2].method, 1);
         EXPECT_EQ(s.slz[1].unpacked_size, 333u);
         EXPECT_EQ(s.slz[1].header_offset,
                   s.slz[0].header_offset + s.slz[0].next);
         EXPECT_EQ(s.slz[2].next, 0u);
       }},
      {"refpack 10 FB", PackedScheme::kRefpack,
       [](const Bytes& b) {
         return test::pack_refpack(b, RefpackHeader::k10FB);
       },
       [](const PackedStream& s) {
         EXPECT_EQ(s.refpack.header, RefpackHeader::k10FB);
       },
       200000},
      {"refpack 11 FB", PackedScheme::kRefpack,
       [](const Bytes& b) {
         return test::pack_refpack(b, RefpackHeader::k11FB);
       },
       [](const PackedStream& s) {
         EXPECT_EQ(s.refpack.header, RefpackHeader::k11FB);
         EXPECT_EQ(s.refpack.stored_packed_size, s.end - s.offset - 8);
       }},
      {"refpack 90 FB", PackedScheme::kRefpack,
       [](const Bytes& b) {
         return test::pack_refpack(b, RefpackHeader::k90FB);
       },
       [](const PackedStream& s) {
         EXPECT_EQ(s.refpack.header, RefpackHeader::k90FB);
       }},
      {"refpack 91 FB", PackedScheme::kRefpack,
       [](const Bytes& b) {
         return test::pack_refpack(b, RefpackHeader::k91FB);
       },
       [](const PackedStream& s) {
         EXPECT_EQ(s.refpack.header, RefpackHeader::k91FB);
       }},
      {"zlib", PackedScheme::kZlib, test::pack_zlib,
       [](const PackedStream& s) {
         EXPECT_EQ(s.zlib.cmf, 0x78);
         EXPECT_EQ(s.zlib.flg, 0xDA);
       }},
      {"gzip with a name", PackedScheme::kGzip,
       [](const Bytes& b) { return test::pack_gzip(b, G::kRight, "a.tim"); },
       [](const PackedStream& s) {
         EXPECT_EQ(s.gzip.name, "a.tim");
         EXPECT_EQ(s.gzip.mtime, 0x12345678u);
         EXPECT_TRUE(s.gzip.trailer_present && s.gzip.trailer_ok);
       }},
      {"gzip, wrong trailer", PackedScheme::kGzip,
       [](const Bytes& b) { return test::pack_gzip(b, G::kWrong); },
       [](const PackedStream& s) {
         EXPECT_TRUE(s.gzip.trailer_present);
         EXPECT_FALSE(s.gzip.trailer_ok);
       }},
      {"gzip, no trailer", PackedScheme::kGzip,
       [](const Bytes& b) { return test::pack_gzip(b, G::kMissing); },
       [](const PackedStream& s) { EXPECT_FALSE(s.gzip.trailer_present); },
       5000, true},
      {"gzip, trailer cut", PackedScheme::kGzip,
       [](const Bytes& b) { return test::pack_gzip(b, G::kCut); },
       [](const PackedStream& s) { EXPECT_FALSE(s.gzip.trailer_present); },
       5000, true},
  };
  for (const RoundTrip& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes in = compressible(c.size, c.size);
    const Bytes packed = c.pack(in);
    // Somewhere inside other bytes, which must not be read as its own.
    const Bytes data = cat(cat(Bytes(37, 0xEE), packed),
                           c.runs_to_end ? Bytes{} : Bytes(9, 0xEE));
    const auto s = open_packed(data, 37);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->scheme, c.scheme);
    EXPECT_EQ(s->offset, 37u);
    EXPECT_EQ(s->end, 37 + packed.size());
    EXPECT_TRUE(s->unpacked == in);
    EXPECT_TRUE(packed_pair_candidate(packed[0], packed[1]));
    EXPECT_TRUE(packed_header_plausible(&data[37], data.size() - 37));
    if (c.check) c.check(*s);
  }
}

TEST(Packed, EveryKindOfDeflateBlockGetsPastTheFirstLook) {
  struct Case {
    const char* name;
    int level, strategy;
  } cases[] = {
      {"stored", 0, Z_DEFAULT_STRATEGY},
      {"fixed codes", 9, Z_FIXED},
      {"dynamic codes", 9, Z_DEFAULT_STRATEGY},
      {"huffman only", 1, Z_HUFFMAN_ONLY},
      {"runs", 6, Z_RLE},
  };
  for (const Case& c : cases) {
    for (std::size_t n : {8, 100, 70000}) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(n));
      const Bytes in = compressible(n, 7);
      z_stream z{};
      deflateInit2(&z, c.level, Z_DEFLATED, 15, 8, c.strategy);
      Bytes out(deflateBound(&z, static_cast<uLong>(n)));
      z.next_in = const_cast<Bytef*>(in.data());
      z.avail_in = static_cast<uInt>(n);
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
      out.resize(z.total_out);
      deflateEnd(&z);
      if (out[0] != 0x78) continue;  // a header the scheme does not know
      const auto s = open_packed(out, 0);
      ASSERT_TRUE(s.has_value());
      EXPECT_TRUE(s->unpacked == in);
      EXPECT_EQ(s->end, out.size());
    }
  }
}

// A window cut from longer data opens as the whole does, or tells that the
// decoder wanted the bytes past the cut: what the scan of a raw disc image,
// which gathers a stream's bytes a window at a time, relies on.
TEST(Packed, AShortWindowSaysWhenItWantedMore) {
  const Bytes in = compressible(600, 11);
  for (int k = 0; k < kPackedSchemeCount; ++k) {
    const auto scheme = static_cast<PackedScheme>(k);
    SCOPED_TRACE(std::string(packed_scheme_name(scheme)));
    const Bytes packed =
        scheme == PackedScheme::kSlz
            ? test::pack_slz(in, {{1, 200}, {2, 200}, {0, 200}})
            : test::pack_plain(scheme, in);
    const Bytes data = cat(packed, Bytes(16, 0));
    Unpacker u;
    const auto whole = u.open(data, 0);
    ASSERT_TRUE(whole.has_value());
    EXPECT_FALSE(u.wanted_more());
    for (std::size_t cut = 0; cut < packed.size(); ++cut) {
      const std::span<const uint8_t> window(data.data(), cut);
      const auto part = u.open(window, 0);
      if (!part || part->unpacked != whole->unpacked ||
          part->end != whole->end) {
        ASSERT_TRUE(u.wanted_more()) << "cut at " << cut;
      }
    }
  }
}

// Headers and bodies for the hostile table.
Bytes le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
Bytes head(const char* magic, uint32_t size) {
  Bytes b(magic, magic + 4);
  return cat(b, le32(size));
}
Bytes ulz_lower(uint8_t version, uint32_t lit_off, uint8_t n, uint32_t code_off,
                uint32_t size = 100) {
  return cat({'U', 'l', 'z', 0x1A, uint8_t(size), uint8_t(size >> 8),
              uint8_t(size >> 16), version, uint8_t(lit_off),
              uint8_t(lit_off >> 8), uint8_t(lit_off >> 16), n},
             le32(code_off));
}

// A 90 FB stream of `n` zero bytes: four literals, then long copies.
Bytes refpack_zeros(uint32_t n) {
  Bytes b = {0x90,
             0xFB,
             uint8_t(n >> 24),
             uint8_t(n >> 16),
             uint8_t(n >> 8),
             uint8_t(n),
             0xE0,
             0,
             0,
             0,
             0};
  for (uint32_t left = n - 4; left > 0;) {
    // The last copy keeps at least 5 bytes for itself.
    const uint32_t len =
        left > 1028 ? (left - 1028 < 5 ? left - 5 : 1028) : left;
    if (len < 5) {
      b.push_back(uint8_t(0xFC | len));
      b.insert(b.end(), len, 0);
      return b;
    }
    b.insert(b.end(),
             {uint8_t(0xC0 | ((len - 5) >> 8) << 2), 0, 0, uint8_t(len - 5)});
    left -= len;
  }
  b.push_back(0xFC);
  return b;
}

TEST(Packed, HostileCandidatesAreTurnedDownWithinTheCaps) {
  const uint32_t kMax = kMaxUnpackedSize;
  const Bytes lzss16 = test::pack_lzss(Bytes(16, 'x'), 2);
  struct Case {
    const char* name;
    Bytes data;
    bool opens;
  } cases[] = {
      {"lzss of the least size", test::pack_lzss(Bytes(8, 'x'), 2), true},
      {"lzss one byte short of it", test::pack_lzss(Bytes(7, 'x'), 2), false},
      {"refpack of the greatest size", refpack_zeros(kMax), true},
      {"refpack one byte past it", refpack_zeros(kMax + 1), false},
      {"zlib of the greatest size", test::pack_zlib(Bytes(kMax, 1)), true},
      {"zlib one byte past it", test::pack_zlib(Bytes(kMax + 1, 1)), false},
      {"lzss that declares more than it holds",
       [&] {
         Bytes b = lzss16;
         b[4] = 40;
         return b;
       }(),
       false},
      {"lzss cut short", Bytes(lzss16.begin(), lzss16.end() - 1), false},
      {"lzss whose first copy reaches before the start",
       cat(head("LZSS", 16), {0x00, 0x01, 0x04}), false},
      {"lzss with a literal past its size",
       cat(head("LZSS", 8), {0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 0x01, 9, 0, 0}),
       false},
      {"napk copy before the start", cat(head("napk", 9), {0x80, 0, 6}), false},
      {"napk of endless literal flags", cat(head("napk", kMax), Bytes(9000, 0)),
       false},
      {"refpack copy before the start", {0x10, 0xFB, 0, 0, 9, 0x04, 0}, false},
      {"refpack ending early", {0x10, 0xFB, 0, 0, 9, 0xFF, 1, 2, 3}, false},
      {"ulz literal offset past the end",
       cat(ulz_lower(2, 400, 12, 400), Bytes(100, 0xFF)), false},
      {"ulz copy codes before the literals",
       cat(ulz_lower(2, 40, 12, 30), Bytes(100, 0xFF)), false},
      {"ulz version 1", cat(ulz_lower(1, 20, 12, 120), Bytes(104, 0xFF)),
       false},
      {"ulz of 16 distance bits",
       cat(ulz_lower(2, 20, 16, 120), Bytes(104, 0xFF)), false},
      {"ulz v0 of endless stop-bit words",
       [] {
         Bytes b = ulz_lower(0, 16 + 4 * 65536, 12, 16 + 4 * 65536);
         for (int i = 0; i < 65536; ++i) b.insert(b.end(), {0, 0, 0, 0x80});
         return b;
       }(),
       false},
      {"slz packed size past the end",
       cat(cat(Bytes{'S', 'L', 'Z', 0}, le32(100)), cat(le32(100), le32(0))),
       false},
      {"slz method 2 copy of distance 0",
       cat(cat(Bytes{'S', 'L', 'Z', 2}, le32(3)),
           cat(le32(8), cat(le32(0), {0, 0, 0}))),
       false},
      {"slz method 3",
       cat(cat(Bytes{'S', 'L', 'Z', 3}, le32(8)),
           cat(le32(8), cat(le32(0), Bytes(8, 1)))),
       false},
      {"zlib with a wrong checksum",
       [] {
         Bytes b = test::pack_zlib(compressible(100));
         b.back() ^= 1;
         return b;
       }(),
       false},
      {"gzip with a reserved flag",
       {0x1F, 0x8B, 8, 0x20, 0, 0, 0, 0, 0, 3, 3, 0},
       false},
      {"gzip whose name never ends",
       {0x1F, 0x8B, 8, 8, 0, 0, 0, 0, 0, 3, 'a', 'b'},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(open_packed(c.data, 0).has_value(), c.opens);
  }
}

TEST(Packed, AChainEndsAtADistanceThatIsNotTheRoundedSize) {
  const Bytes in = compressible(3000, 3);
  auto next = [](const Bytes& b, std::size_t at) {
    return at + (b[at + 12] | b[at + 13] << 8 | b[at + 14] << 16);
  };
  struct Case {
    const char* name;
    std::function<void(Bytes&)> spoil;
    std::size_t chunks;
  } cases[] = {
      {"whole", [](Bytes&) {}, 3},
      {"first distance wrong", [](Bytes& b) { b[12] += 4; }, 1},
      {"second header spoilt", [&](Bytes& b) { b[next(b, 0)] = 'X'; }, 1},
      {"third chunk's data cut",
       [&](Bytes& b) { b.resize(next(b, next(b, 0)) + 20); }, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes b = test::pack_slz(in, {{1, 1000}, {2, 1000}, {0, 1000}});
    c.spoil(b);
    const auto s = open_packed(b, 0);
    ASSERT_TRUE(s.has_value());
    ASSERT_EQ(s->slz.size(), c.chunks);
    EXPECT_EQ(s->unpacked.size(), 1000 * c.chunks);
    EXPECT_TRUE(std::equal(s->unpacked.begin(), s->unpacked.end(), in.begin()));
    EXPECT_EQ(s->end,
              s->slz.back().header_offset + 16 + s->slz.back().packed_size);
  }
}

TEST(Packed, ThePairTablesPassEveryHeaderAndFewOtherPairs) {
  const uint8_t headers[][2] = {
      {'L', 'Z'},   {'n', 'a'},   {'U', 'l'},   {'U', 'L'},
      {'@', '('},   {'S', 'L'},   {'0', '1'},   {0x10, 0xFB},
      {0x11, 0xFB}, {0x90, 0xFB}, {0x91, 0xFB}, {0x78, 0x01},
      {0x78, 0x5E}, {0x78, 0x9C}, {0x78, 0xDA}, {0x1F, 0x8B}};
  for (const auto& h : headers) EXPECT_TRUE(packed_pair_exact(h[0], h[1]));
  int pass = 0, exact = 0;
  for (int a = 0; a < 256; ++a)
    for (int b = 0; b < 256; ++b) {
      const bool e = packed_pair_exact(uint8_t(a), uint8_t(b));
      pass += packed_pair_candidate(uint8_t(a), uint8_t(b));
      exact += e;
      if (e) {
        EXPECT_TRUE(packed_pair_candidate(uint8_t(a), uint8_t(b)));
      }
    }
  EXPECT_EQ(pass, 42) << "about one offset in 1,560 of random data";
  EXPECT_EQ(exact, 16);
}

}  // namespace
}  // namespace vexlo
