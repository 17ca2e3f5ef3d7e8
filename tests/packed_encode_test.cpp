// The encoders against the decoders: every scheme and parameter set packs
// bytes that open again to the same bytes and the same parameters.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "packed/encode.h"
#include "packed/packed.h"
#include "tests/packed_builder.h"
#include "tests/tim_builder.h"

namespace vexlo {
namespace {

using test::Bytes;

// Unpacked contents of the kinds games pack: TIMs among padding, noise,
// long runs of one value, and text-like repeats.
Bytes sample(int kind, std::size_t n) {
  std::mt19937 rng(static_cast<uint32_t>(kind + 7));
  Bytes d;
  switch (kind) {
    case 0:  // TIMs with patterned pixels
      while (d.size() < n) {
        test::TimLayout t;
        t.w = 16;
        t.h = 24;
        t.clut.resize(16);
        for (auto& c : t.clut) c = static_cast<uint16_t>(rng());
        for (int i = 0; i < 16 * 24 * 2; ++i)
          t.pixels.push_back(static_cast<uint8_t>((i / 3 + rng() % 2) * 17));
        const Bytes tim = test::make_tim(t);
        d.insert(d.end(), tim.begin(), tim.end());
        d.resize(d.size() + rng() % 300, 0);
      }
      break;
    case 1:  // noise
      while (d.size() < n) d.push_back(static_cast<uint8_t>(rng()));
      break;
    case 2:  // runs of one value
      while (d.size() < n) d.resize(d.size() + 1 + rng() % 400, rng() % 3);
      break;
    default:  // words repeated near and far
      while (d.size() < n) {
        const std::string w[] = {"texture ", "font_", "TITLE", "\x01\x02"};
        const std::string& s = w[rng() % 4];
        d.insert(d.end(), s.begin(), s.end());
        if (d.size() > 5000 && rng() % 4 == 0) {
          const Bytes far(d.end() - 4000, d.end() - 4000 + rng() % 900);
          d.insert(d.end(), far.begin(), far.end());
        }
      }
  }
  d.resize(n);
  return d;
}

using Encoder = std::function<std::optional<PackedBytes>(const Bytes&)>;

struct Case {
  const char* name;
  PackedScheme scheme;
  Encoder encode;
};

UlzFields ulz(UlzHeader h, uint8_t version, uint8_t bits) {
  UlzFields f;
  f.header = h;
  f.version = version;
  f.distance_bits = bits;
  return f;
}

std::vector<SlzChunk> chain(std::initializer_list<std::pair<int, uint32_t>> c) {
  std::vector<SlzChunk> out;
  for (auto [method, size] : c) {
    SlzChunk k;
    k.method = static_cast<uint8_t>(method);
    k.unpacked_size = size;
    k.magic_01z = out.size() % 2 == 1;
    out.push_back(k);
  }
  return out;
}

GzipFields gzip_fields() {
  GzipFields g;
  g.flags = 0x02 | 0x04 | 0x08 | 0x10;
  g.mtime = 0x12345678;
  g.os = 3;
  g.extra = {'A', 'B', 2, 0, 7, 9};
  g.name = "FONT.TIM";
  g.comment = "edited";
  return g;
}

constexpr std::size_t kSize = 16000;

std::vector<Case> cases() {
  using H = UlzHeader;
  std::vector<Case> c = {
      {"lzss k2", PackedScheme::kLzss,
       [](const Bytes& d) { return encode_lzss(d, {2}); }},
      {"lzss k3", PackedScheme::kLzss,
       [](const Bytes& d) { return encode_lzss(d, {3}); }},
      {"napk", PackedScheme::kNapk,
       [](const Bytes& d) { return encode_napk(d); }},
      {"gt-zip", PackedScheme::kGtZip,
       [](const Bytes& d) { return encode_gtzip(d); }},
      {"slz chain", PackedScheme::kSlz,
       [](const Bytes& d) {
         return encode_slz(d,
                           chain({{1, 4000}, {2, 7001}, {0, 999}, {2, 4000}}));
       }},
      {"slz one lzss chunk", PackedScheme::kSlz,
       [](const Bytes& d) {
         return encode_slz(d, chain({{1, kSize}}));
       }},
      {"zlib", PackedScheme::kZlib,
       [](const Bytes& d) { return encode_zlib(d); }},
      {"gzip", PackedScheme::kGzip,
       [](const Bytes& d) { return encode_gzip(d, gzip_fields()); }},
  };
  for (H h : {H::kLower, H::kUpper})
    for (uint8_t v : {0, 2})
      for (uint8_t bits : {10, 13})
        c.push_back({"ulz", PackedScheme::kUlz, [=](const Bytes& d) {
                       return encode_ulz(d, ulz(h, v, bits));
                     }});
  for (RefpackHeader h : {RefpackHeader::k10FB, RefpackHeader::k11FB,
                          RefpackHeader::k90FB, RefpackHeader::k91FB})
    c.push_back({"refpack", PackedScheme::kRefpack,
                 [=](const Bytes& d) { return encode_refpack(d, h); }});
  return c;
}

TEST(PackedEncode, EveryFormOpensToItsBytesAndParameters) {
  for (const Case& c : cases()) {
    for (int kind = 0; kind < 4; ++kind) {
      SCOPED_TRACE(std::string(c.name) + ", content " + std::to_string(kind));
      const Bytes data = sample(kind, kSize);
      const std::optional<PackedBytes> packed = c.encode(data);
      ASSERT_TRUE(packed);
      // Behind other bytes and before more: the stream ends where it should.
      Bytes file(5, 0xEE);
      file.insert(file.end(), packed->begin(), packed->end());
      file.resize(file.size() + 64, 0xAA);
      const std::optional<PackedStream> s = open_packed(file, 5);
      ASSERT_TRUE(s);
      EXPECT_EQ(s->scheme, c.scheme);
      EXPECT_EQ(s->end - s->offset, packed->size());
      ASSERT_TRUE(s->unpacked == data);
      // What the stream was read with packs it the same way again.
      const std::optional<PackedBytes> again = repack(*s, data);
      ASSERT_TRUE(again);
      EXPECT_TRUE(*again == *packed);
      if (kind == 1) {  // noise: no scheme adds more than its flags
        EXPECT_LE(packed->size(), kSize + kSize / 7 + 64);
      }
    }
  }
}

// Every form the tests' greedy encoders write, for fixtures.
std::vector<std::pair<std::string, std::function<Bytes(const Bytes&)>>>
fixture_packers() {
  using G = test::GzipTrailer;
  std::vector<std::pair<std::string, std::function<Bytes(const Bytes&)>>> p = {
      {"lzss 2", [](const Bytes& b) { return test::pack_lzss(b, 2); }},
      {"lzss 3", [](const Bytes& b) { return test::pack_lzss(b, 3); }},
      {"napk", test::pack_napk},
      {"gt-zip", test::pack_gt_zip},
      {"slz 1",
       [](const Bytes& b) {
         return test::pack_slz(b, {{1, b.size()}});
       }},
      {"slz 2",
       [](const Bytes& b) {
         return test::pack_slz(b, {{2, b.size()}});
       }},
      {"slz chain",
       [](const Bytes& b) {
         return test::pack_slz(
             b, {{2, 1000}, {0, 333, true}, {1, b.size() - 1333}});
       }},
      {"zlib", test::pack_zlib},
  };
  for (G g : {G::kRight, G::kWrong, G::kMissing, G::kCut})
    p.push_back({"gzip", [=](const Bytes& b) {
                   return test::pack_gzip(b, g, "a.tim");
                 }});
  for (UlzHeader h : {UlzHeader::kLower, UlzHeader::kUpper})
    for (int v : {0, 2})
      for (unsigned bits : {10u, 12u, 13u})
        p.push_back({"ulz", [=](const Bytes& b) {
                       return test::pack_ulz(b, h, v, bits);
                     }});
  for (RefpackHeader h : {RefpackHeader::k10FB, RefpackHeader::k11FB,
                          RefpackHeader::k90FB, RefpackHeader::k91FB})
    p.push_back(
        {"refpack", [=](const Bytes& b) { return test::pack_refpack(b, h); }});
  return p;
}

TEST(PackedEncode, RepackOfAFixtureIsNeverLonger) {
  const Bytes contents[] = {test::compressible(3000, 1),
                            test::compressible(30000, 2),
                            sample(0, 20000),
                            sample(1, 5000),
                            sample(2, 15000),
                            sample(3, 15000)};
  for (const auto& [name, pack] : fixture_packers()) {
    for (std::size_t k = 0; k < std::size(contents); ++k) {
      SCOPED_TRACE(name + ", content " + std::to_string(k));
      const Bytes fixture = pack(contents[k]);
      const auto s = open_packed(fixture, 0);
      ASSERT_TRUE(s);
      ASSERT_TRUE(s->unpacked == contents[k]);
      const auto again = repack(*s, contents[k]);
      ASSERT_TRUE(again);
      EXPECT_LE(again->size(), s->end - s->offset);
      const auto reread = open_packed(*again, 0);
      ASSERT_TRUE(reread);
      EXPECT_TRUE(reread->unpacked == contents[k]);
    }
  }
}

TEST(PackedEncode, KeepsTheFieldsItWasReadWith) {
  const Bytes data = sample(0, 30000);
  const auto slz = open_packed(
      *encode_slz(data, chain({{2, 100}, {0, 17000}, {1, 12900}})), 0);
  ASSERT_TRUE(slz);
  ASSERT_EQ(slz->slz.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(slz->slz[i].method, (std::array{2, 0, 1})[i]);
    EXPECT_EQ(slz->slz[i].unpacked_size, (std::array{100u, 17000u, 12900u})[i]);
    EXPECT_EQ(slz->slz[i].magic_01z, i == 1);
  }
  const auto gz = open_packed(*encode_gzip(data, gzip_fields()), 0);
  ASSERT_TRUE(gz);
  EXPECT_EQ(gz->gzip.flags, gzip_fields().flags);
  EXPECT_EQ(gz->gzip.mtime, 0x12345678u);
  EXPECT_EQ(gz->gzip.extra, gzip_fields().extra);
  EXPECT_EQ(gz->gzip.name, "FONT.TIM");
  EXPECT_EQ(gz->gzip.comment, "edited");
  EXPECT_TRUE(gz->gzip.trailer_ok);
  for (uint8_t v : {0, 2}) {
    const auto u =
        open_packed(*encode_ulz(data, ulz(UlzHeader::kUpper, v, 11)), 0);
    ASSERT_TRUE(u);
    EXPECT_EQ(u->ulz.version, v);
    EXPECT_EQ(u->ulz.distance_bits, 11);
  }
}

TEST(PackedEncode, RefusesWhatTheHeaderCannotHold) {
  const Bytes big((16u << 20), 0);
  const Bytes small(100, 1);
  const std::pair<const char*, std::optional<PackedBytes>> refused[] = {
      {"lower ulz of 16 MiB", encode_ulz(big, ulz(UlzHeader::kLower, 2, 12))},
      {"10 FB refpack of 16 MiB", encode_refpack(big, RefpackHeader::k10FB)},
      {"slz chunks short of the data", encode_slz(small, chain({{1, 99}}))},
      {"slz chunks past the data",
       encode_slz(small, chain({{1, 60}, {0, 41}}))},
      {"lzss add-on 4", encode_lzss(small, {4})},
      {"ulz version 1", encode_ulz(small, ulz(UlzHeader::kUpper, 1, 12))},
  };
  for (const auto& [what, out] : refused) EXPECT_FALSE(out) << what;
}

TEST(PackedEncode, GzipWithItsTrailerCutKeepsToItsPlace) {
  const Bytes data = sample(3, 5000);
  PackedBytes full = *encode_gzip(data, gzip_fields());
  for (std::size_t cut : {0, 3, 8}) {
    SCOPED_TRACE(cut);
    const PackedBytes member(full.begin(), full.end() - cut);
    const auto s = open_packed(member, 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->gzip.trailer_present, cut == 0);
    const auto again = repack(*s, data);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->size(), member.size());
  }
}

}  // namespace
}  // namespace vexlo
