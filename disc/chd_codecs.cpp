// The CD codecs of CHD hunks. Each splits a hunk's frames into their 2352
// sector bytes and their 96 subcode bytes and compresses the two apart:
// cdlz (LZMA; deflate), cdzl (deflate; deflate), cdzs (zstd; zstd) after a
// bitmap of the frames whose sync and ECC were taken out, and cdfl (FLAC of
// the sectors as 16-bit stereo samples; deflate) with nothing taken out.
#include <FLAC/stream_decoder.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "disc/chd.h"
#include "disc/edc_ecc.h"
#include "platform/aligned_buffer.h"

namespace vexlo::chd {

namespace {

constexpr uint32_t kCdlz = 0x63646C7A;
constexpr uint32_t kCdzl = 0x63647A6C;
constexpr uint32_t kCdfl = 0x6364666C;

constexpr uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// Makes again the sync and the P/Q parity the encoder took out of a frame.
// A Mode 2 frame's parity covers its header as zeros (as a Form 1 sector's
// does), a Mode 1 frame's the header as it is; the encoder took them out only
// where they matched that, whatever the sector's form.
void restore_sync_and_ecc(uint8_t* frame) {
  std::memcpy(frame, kSync, sizeof kSync);
  uint8_t header[4];
  std::memcpy(header, frame + 12, sizeof header);
  if (header[3] == 2) std::memset(frame + 12, 0, sizeof header);
  write_sector_ecc({frame, kSectorSize});
  std::memcpy(frame + 12, header, sizeof header);
}

// The dictionary the encoder chose for `bytes` of input: the smallest of
// 2 or 3 times a power of two that holds it.
uint32_t lzma_dictionary(uint32_t bytes) {
  for (int i = 11; i <= 30; ++i) {
    if (bytes <= (2u << i)) return 2u << i;
    if (bytes <= (3u << i)) return 3u << i;
  }
  return 1u << 26;
}

}  // namespace

struct HunkDecoder::Codecs {
  z_stream zlib{};
  bool zlib_ready = false;
  lzma_stream lzma = LZMA_STREAM_INIT;
  ZSTD_DCtx* zstd = nullptr;
  FLAC__StreamDecoder* flac = nullptr;
  std::vector<uint8_t> scratch;  // sectors, then subcode, of one hunk
  AlignedBuffer copy;            // a hunk's bytes as read from the file

  // FLAC input: a made-up stream header, then the hunk's bytes.
  uint8_t flac_head[42] = {};
  std::span<const uint8_t> flac_in;
  std::size_t flac_pos = 0;  // in head + input
  uint8_t* flac_out = nullptr;
  std::size_t flac_samples = 0;  // stereo samples still wanted
  bool flac_error = false;

  ~Codecs() {
    if (zlib_ready) inflateEnd(&zlib);
    lzma_end(&lzma);
    ZSTD_freeDCtx(zstd);
    if (flac != nullptr) FLAC__stream_decoder_delete(flac);
  }

  bool inflate_raw(std::span<const uint8_t> in, std::span<uint8_t> out) {
    if (!zlib_ready) {
      if (inflateInit2(&zlib, -MAX_WBITS) != Z_OK) return false;
      zlib_ready = true;
    } else if (inflateReset(&zlib) != Z_OK) {
      return false;
    }
    zlib.next_in = const_cast<Bytef*>(in.data());
    zlib.avail_in = static_cast<uInt>(in.size());
    zlib.next_out = out.data();
    zlib.avail_out = static_cast<uInt>(out.size());
    const int r = inflate(&zlib, Z_FINISH);
    return (r == Z_STREAM_END || r == Z_OK || r == Z_BUF_ERROR) &&
           zlib.avail_out == 0;
  }

  bool unlzma(std::span<const uint8_t> in, std::span<uint8_t> out) {
    lzma_options_lzma options{};
    options.dict_size = lzma_dictionary(static_cast<uint32_t>(out.size()));
    options.lc = 3;
    options.lp = 0;
    options.pb = 2;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options},
                                   {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_raw_decoder(&lzma, filters) != LZMA_OK) return false;
    lzma.next_in = in.data();
    lzma.avail_in = in.size();
    lzma.next_out = out.data();
    lzma.avail_out = out.size();
    // The stream has no end mark: it ends when the output is full.
    while (lzma.avail_out > 0) {
      const lzma_ret r = lzma_code(&lzma, LZMA_RUN);
      if (r == LZMA_STREAM_END) break;
      if (r != LZMA_OK || lzma.avail_in == 0) break;
    }
    return lzma.avail_out == 0;
  }

  bool unzstd(std::span<const uint8_t> in, std::span<uint8_t> out) {
    if (zstd == nullptr && (zstd = ZSTD_createDCtx()) == nullptr) return false;
    const std::size_t r =
        ZSTD_decompressDCtx(zstd, out.data(), out.size(), in.data(), in.size());
    return !ZSTD_isError(r) && r == out.size();
  }

  // Decodes FLAC frames from `in` into `out` (big-endian 16-bit stereo);
  // `*used` is the number of input bytes the frames took.
  bool unflac(std::span<const uint8_t> in, std::span<uint8_t> out,
              std::size_t* used);

  // The sectors and subcode of a cdlz/cdzl/cdzs hunk.
  bool split_codec(uint32_t codec, std::span<const uint8_t> in,
                   std::span<uint8_t> out, uint32_t frames);
};

namespace {

FLAC__StreamDecoderReadStatus flac_read(const FLAC__StreamDecoder*,
                                        FLAC__byte buffer[], size_t* bytes,
                                        void* data) {
  auto* c = static_cast<HunkDecoder::Codecs*>(data);
  const std::size_t head = sizeof c->flac_head;
  std::size_t done = 0;
  while (done < *bytes) {
    std::size_t n;
    if (c->flac_pos < head) {
      n = std::min(*bytes - done, head - c->flac_pos);
      std::memcpy(buffer + done, c->flac_head + c->flac_pos, n);
    } else {
      const std::size_t at = c->flac_pos - head;
      n = std::min(*bytes - done, c->flac_in.size() - at);
      if (n == 0) break;
      std::memcpy(buffer + done, c->flac_in.data() + at, n);
    }
    done += n;
    c->flac_pos += n;
  }
  *bytes = done;
  return done == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                   : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderTellStatus flac_tell(const FLAC__StreamDecoder*,
                                        FLAC__uint64* at, void* data) {
  *at = static_cast<HunkDecoder::Codecs*>(data)->flac_pos;
  return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderWriteStatus flac_write(const FLAC__StreamDecoder*,
                                          const FLAC__Frame* frame,
                                          const FLAC__int32* const buffer[],
                                          void* data) {
  auto* c = static_cast<HunkDecoder::Codecs*>(data);
  const std::size_t n = frame->header.blocksize;
  if (frame->header.channels != 2 || frame->header.bits_per_sample != 16 ||
      n > c->flac_samples) {
    c->flac_error = true;
    return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  }
  uint8_t* o = c->flac_out;
  for (std::size_t i = 0; i < n; ++i) {
    for (int ch = 0; ch < 2; ++ch) {
      const auto s = static_cast<uint32_t>(buffer[ch][i]);
      *o++ = static_cast<uint8_t>(s >> 8);
      *o++ = static_cast<uint8_t>(s);
    }
  }
  c->flac_out = o;
  c->flac_samples -= n;
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void on_flac_error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus,
                   void* data) {
  static_cast<HunkDecoder::Codecs*>(data)->flac_error = true;
}

}  // namespace

bool HunkDecoder::Codecs::unflac(std::span<const uint8_t> in,
                                 std::span<uint8_t> out, std::size_t* used) {
  if (flac == nullptr && (flac = FLAC__stream_decoder_new()) == nullptr)
    return false;
  // The encoder's block: a quarter of the bytes in samples, halved down to
  // at most one sector's.
  uint32_t block = static_cast<uint32_t>(out.size() / 4);
  while (block > kSectorSize) block /= 2;
  // "fLaC", a last STREAMINFO block of 34 bytes: block sizes, unknown frame
  // sizes, 44100 Hz, 2 channels, 16 bits, unknown length, no MD5.
  static const uint8_t kHead[42] = {'f', 'L', 'a',  'C',  0x80, 0,   0, 34,
                                    0,   0,   0,    0,    0,    0,   0, 0,
                                    0,   0,   0x0A, 0xC4, 0x42, 0xF0};
  std::memcpy(flac_head, kHead, sizeof flac_head);
  flac_head[8] = flac_head[10] = static_cast<uint8_t>(block >> 8);
  flac_head[9] = flac_head[11] = static_cast<uint8_t>(block);
  flac_in = in;
  flac_pos = 0;
  flac_out = out.data();
  flac_samples = out.size() / 4;
  flac_error = false;
  if (FLAC__stream_decoder_init_stream(
          flac, flac_read, nullptr, flac_tell, nullptr, nullptr, flac_write,
          nullptr, on_flac_error, this) != FLAC__STREAM_DECODER_INIT_STATUS_OK)
    return false;
  bool ok = true;
  while (ok && flac_samples > 0) {
    ok = FLAC__stream_decoder_process_single(flac) && !flac_error &&
         FLAC__stream_decoder_get_state(flac) !=
             FLAC__STREAM_DECODER_END_OF_STREAM;
  }
  FLAC__uint64 at = 0;
  ok = ok && FLAC__stream_decoder_get_decode_position(flac, &at) &&
       at >= sizeof flac_head && at - sizeof flac_head <= in.size();
  FLAC__stream_decoder_finish(flac);
  if (!ok) return false;
  *used = static_cast<std::size_t>(at - sizeof flac_head);
  return true;
}

bool HunkDecoder::Codecs::split_codec(uint32_t codec,
                                      std::span<const uint8_t> in,
                                      std::span<uint8_t> out, uint32_t frames) {
  const std::size_t sectors = std::size_t{frames} * kSectorSize;
  const std::size_t subcode = std::size_t{frames} * kSubcodeSize;
  scratch.resize(sectors + subcode);
  const std::span<uint8_t> base(scratch.data(), sectors);
  const std::span<uint8_t> sub(scratch.data() + sectors, subcode);
  const std::size_t bitmap = (frames + 7) / 8;
  if (codec == kCdfl) {
    std::size_t used = 0;
    if (!unflac(in, base, &used) || !inflate_raw(in.subspan(used), sub))
      return false;
  } else {
    const std::size_t len_bytes = out.size() < 65536 ? 2 : 3;
    if (in.size() < bitmap + len_bytes) return false;
    std::size_t len = 0;
    for (std::size_t i = 0; i < len_bytes; ++i) len = len << 8 | in[bitmap + i];
    const std::size_t at = bitmap + len_bytes;
    if (len > in.size() - at) return false;
    const auto first = in.subspan(at, len);
    const auto rest = in.subspan(at + len);
    const bool ok =
        codec == kCdlz   ? unlzma(first, base) && inflate_raw(rest, sub)
        : codec == kCdzl ? inflate_raw(first, base) && inflate_raw(rest, sub)
                         : unzstd(first, base) && unzstd(rest, sub);  // cdzs
    if (!ok) return false;
  }
  for (uint32_t f = 0; f < frames; ++f) {
    uint8_t* frame = out.data() + std::size_t{f} * kFrameSize;
    std::memcpy(frame, base.data() + std::size_t{f} * kSectorSize, kSectorSize);
    std::memcpy(frame + kSectorSize, sub.data() + std::size_t{f} * kSubcodeSize,
                kSubcodeSize);
    if (codec != kCdfl && (in[f / 8] >> (f % 8) & 1) != 0)
      restore_sync_and_ecc(frame);
  }
  return true;
}

HunkDecoder::HunkDecoder(const Image& image)
    : image_(image), codecs_(std::make_unique<Codecs>()) {}

HunkDecoder::~HunkDecoder() = default;

bool HunkDecoder::decode_codec(uint32_t codec, std::span<const uint8_t> in,
                               std::span<uint8_t> out) {
  if (out.size() % kFrameSize != 0) return false;
  return codecs_->split_codec(codec, in, out,
                              static_cast<uint32_t>(out.size() / kFrameSize));
}

bool HunkDecoder::decode_one(std::span<const uint8_t> file, const MapEntry& e,
                             std::span<uint8_t> out) {
  if (e.type == kTypeZero) {
    std::memset(out.data(), 0, out.size());
    return true;
  }
  // chdman stores a hunk that does not shrink: no longer one is real.
  if (e.type > kTypeNone || e.length > out.size()) return false;
  std::span<const uint8_t> in = file.subspan(e.offset, e.length);
  if (reader_) {
    AlignedBuffer& copy = codecs_->copy;
    copy.resize(e.length);
    if (reader_(e.offset, e.length, copy.data())) in = copy.span();
  }
  if (e.type == kTypeNone) {
    if (in.size() != out.size()) return false;
    std::memcpy(out.data(), in.data(), out.size());
    return true;
  }
  return decode_codec(image_.compressors[e.type], in, out);
}

bool HunkDecoder::decode(std::span<const uint8_t> file, uint32_t n,
                         std::span<uint8_t> out) {
  if (n >= image_.map.size() || out.size() != image_.hunk_bytes) return false;
  // A copy names the hunk it copies; chdman names the first, which is no
  // copy itself. A chain longer than that is refused.
  const MapEntry* e = &image_.map[n];
  for (int hops = 0; e->type == kTypeSelf; ++hops) {
    if (hops == 4) return false;
    e = &image_.map[e->offset];
  }
  if (!decode_one(file, *e, out)) return false;
  return e->type == kTypeZero || crc16(out) == e->crc;
}

}  // namespace vexlo::chd
