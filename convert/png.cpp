#include "convert/png.h"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <vector>

#include "convert/pixels.h"

namespace vexlo {

namespace {

// Image data (rows with their filter bytes) below this size is stored.
constexpr uint64_t kStoreBelow = 4096;

// Output is gathered up to this size before it goes to the sink; also the
// largest IDAT chunk.
constexpr uint64_t kFlushSize = 1u << 16;

void put_u32be(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 24));
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

class ChunkWriter {
 public:
  ChunkWriter(const ByteSink& sink, std::size_t expected) : sink_(sink) {
    out_.reserve(std::min(expected, kFlushSize) + 1024);
    out_.assign(kPngSignature, kPngSignature + sizeof kPngSignature);
  }

  bool chunk(const char* type, std::span<const uint8_t> data) {
    put_u32be(out_, static_cast<uint32_t>(data.size()));
    const std::size_t crc_from = out_.size();
    out_.insert(out_.end(), type, type + 4);
    out_.insert(out_.end(), data.begin(), data.end());
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), out_.data() + crc_from,
                            static_cast<uInt>(out_.size() - crc_from));
    put_u32be(out_, static_cast<uint32_t>(crc));
    return out_.size() < kFlushSize || flush();
  }

  bool flush() {
    const bool ok = sink_(out_);
    out_.clear();
    return ok;
  }

 private:
  const ByteSink& sink_;
  std::vector<uint8_t> out_;
};

// Deflates the image rows into IDAT chunks.
class IdatWriter {
 public:
  // `raw` is the size of all rows. Small images get a window and hash no
  // larger than they need: most TIMs are small, and setting up zlib's full
  // 256 KiB of state costs more than compressing them.
  IdatWriter(ChunkWriter& chunks, int level, uint64_t raw) : chunks_(chunks) {
    // Any size works: output beyond it goes into further IDAT chunks.
    buffer_.resize(static_cast<std::size_t>(std::min(raw + 64, kFlushSize)));
    int bits = 9;  // zlib's smallest deflate window
    while (bits < 15 && (uint64_t{1} << bits) < raw) ++bits;
    ok_ = deflateInit2(&zs_, level, Z_DEFLATED, bits, bits - 7,
                       Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~IdatWriter() {
    if (ok_) deflateEnd(&zs_);
  }
  IdatWriter(const IdatWriter&) = delete;
  IdatWriter& operator=(const IdatWriter&) = delete;

  bool ok() const { return ok_; }

  bool add(std::span<const uint8_t> bytes) { return run(bytes, Z_NO_FLUSH); }
  bool finish() { return run({}, Z_FINISH); }

 private:
  bool run(std::span<const uint8_t> bytes, int flush) {
    if (!ok_) return false;
    zs_.next_in = const_cast<Bytef*>(bytes.data());
    zs_.avail_in = static_cast<uInt>(bytes.size());
    for (;;) {
      if (zs_.avail_out == 0) {
        if (zs_.next_out != nullptr && !emit()) return false;
        zs_.next_out = buffer_.data();
        zs_.avail_out = static_cast<uInt>(buffer_.size());
      }
      const int rc = deflate(&zs_, flush);
      if (rc == Z_STREAM_END) return emit();
      if (rc != Z_OK && rc != Z_BUF_ERROR) return false;
      if (flush == Z_NO_FLUSH && zs_.avail_in == 0 && zs_.avail_out != 0)
        return true;
    }
  }

  bool emit() {
    const std::size_t n = buffer_.size() - zs_.avail_out;
    zs_.next_out = buffer_.data();
    zs_.avail_out = static_cast<uInt>(buffer_.size());
    return n == 0 || chunks_.chunk("IDAT", std::span(buffer_.data(), n));
  }

  ChunkWriter& chunks_;
  z_stream zs_{};
  std::vector<uint8_t> buffer_;
  bool ok_ = false;
};

bool encode(const TimInfo& info, int32_t clut_row, int level,
            const ByteSink& sink) {
  const PixelReader reader(info, clut_row, Target::kPng);
  const uint32_t w = reader.width();
  const int32_t bpp = info.bits_per_pixel;
  // Colour type 3 indexed, 6 RGBA, 2 RGB; bit depth 4 only for 4-bit TIMs.
  const uint8_t depth = bpp == 4 ? 4 : 8;
  const uint8_t type = reader.indexed() ? 3 : bpp == 15 ? 6 : 2;
  const std::size_t row_bytes = bpp == 4    ? (w + 1) / 2
                                : bpp == 8  ? w
                                : bpp == 15 ? std::size_t{4} * w
                                            : std::size_t{3} * w;

  const uint64_t raw = uint64_t{reader.height()} * (1 + row_bytes);
  ChunkWriter chunks(
      sink, static_cast<std::size_t>(std::min<uint64_t>(raw, kFlushSize)));
  std::vector<uint8_t> data;
  put_u32be(data, w);
  put_u32be(data, reader.height());
  data.insert(data.end(), {depth, type, 0, 0, 0});
  if (!chunks.chunk("IHDR", data)) return false;

  if (reader.indexed()) {
    data.clear();
    for (int k = 0; k < reader.palette_size(); ++k) {
      const Rgba& c = reader.palette()[k];
      data.insert(data.end(), {c.r, c.g, c.b});
    }
    if (!chunks.chunk("PLTE", data)) return false;
    data.clear();
    for (int k = 0; k < reader.palette_size(); ++k)
      data.push_back(reader.palette()[k].a);
    if (!chunks.chunk("tRNS", data)) return false;
  }

  // Rows of less than a file-system block are stored, not compressed: the
  // file takes one block either way, and deflate's per-stream cost (its
  // Huffman trees) then outweighs anything it saves.
  IdatWriter idat(chunks, raw < kStoreBelow ? 0 : level, raw);
  if (!idat.ok()) return false;
  // Each row: filter type 0 (none), then the row's bytes.
  std::vector<uint8_t> row(1 + row_bytes);
  std::vector<uint8_t> index(reader.indexed() ? w : 0);
  std::vector<Rgba> colour(reader.indexed() ? 0 : w);
  for (uint32_t y = 0; y < reader.height(); ++y) {
    uint8_t* out = row.data() + 1;
    if (bpp == 4) {
      // PNG keeps the left pixel in the high nibble; an odd width pads the
      // last one with zero.
      reader.indices(y, index.data());
      for (uint32_t x = 0; x < w; x += 2)
        out[x / 2] = static_cast<uint8_t>((index[x] << 4) |
                                          (x + 1 < w ? index[x + 1] : 0));
    } else if (bpp == 8) {
      reader.indices(y, out);
    } else {
      reader.colours(y, colour.data());
      for (const Rgba& c : colour) {
        *out++ = c.r;
        *out++ = c.g;
        *out++ = c.b;
        if (bpp == 15) *out++ = c.a;
      }
    }
    if (!idat.add(row)) return false;
  }
  return idat.finish() && chunks.chunk("IEND", {}) && chunks.flush();
}

}  // namespace

bool encode_png(const TimInfo& info, int32_t clut_row, int level,
                const ByteSink& sink) {
  try {
    return encode(info, clut_row, level, sink);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace vexlo
