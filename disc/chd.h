// CHD version 5 CD images: the header, the hunk map, the track metadata, and
// the decoding of hunks into the bytes of the BIN a CD image tool extracts
// from them (every track in order, without the padding of each track to a
// multiple of four frames).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "disc/disc_image.h"

namespace vexlo::chd {

constexpr std::size_t kHeaderSize = 124;
constexpr std::size_t kFrameSize = 2448;  // 2352 sector + 96 subcode
constexpr std::size_t kSectorSize = 2352;
constexpr std::size_t kSubcodeSize = 96;
constexpr std::size_t kMaxHunkBytes = std::size_t{1} << 20;
// Largest BIN read: offsets are signed 32-bit.
constexpr uint64_t kMaxBinSize = 2147483647;

// True when `file` begins with the CHD tag.
bool is_chd(std::span<const uint8_t> file);

// Why a CHD cannot be read; kNone when it can.
enum class Refusal {
  kNone,
  kVersion,    // not version 5 (see Image::version)
  kParent,     // needs its parent CHD
  kNotCd,      // no CD track metadata
  kHunkBytes,  // hunk size not a multiple of kFrameSize up to kMaxHunkBytes
  kCodec,      // a compressor this reader does not know
  kTooLarge,   // the BIN would exceed kMaxBinSize
  kDamaged,    // header, map or metadata inconsistent with the file
};

// The "Can't read" reason for `r` (without the file name), e.g.
// "needs its parent CHD".
std::string refusal_text(Refusal r, uint32_t version);

struct MapEntry {
  uint64_t offset = 0;  // file offset, or hunk number for a copy
  uint32_t length = 0;  // compressed bytes
  uint16_t crc = 0;     // CRC-16 of the decoded hunk
  uint8_t type = 0;     // kType* below
};
enum : uint8_t {
  kTypeCodec0 = 0,  // 0..3: compressed with compressors[type]
  kTypeNone = 4,    // stored
  kTypeSelf = 5,    // the same as hunk `offset`
  kTypeZero = 6,    // unallocated hunk of an uncompressed map: zeros
};

struct Track {
  bool audio = false;
  uint32_t frames = 0;     // frames in the BIN
  uint32_t data_size = 0;  // bytes per frame in the BIN from the sector
  uint32_t sub_size = 0;   // subcode bytes per frame in the BIN (0 or 96)
  uint32_t chd_frame = 0;  // first frame in the CHD
  uint64_t bin_offset = 0;
  // As the metadata gives them, for the cue sheet: the type ("MODE2_RAW"),
  // the pregap's frames (held in the BIN when `pregap_data`) and the
  // postgap's.
  std::string type;
  uint32_t pregap = 0;
  bool pregap_data = false;
  uint32_t postgap = 0;
};

struct Image {
  uint32_t version = 0;
  uint32_t compressors[4] = {};
  uint64_t logical_bytes = 0;
  uint32_t hunk_bytes = 0;
  uint32_t frames_per_hunk = 0;
  std::vector<MapEntry> map;  // one per hunk
  std::vector<Track> tracks;
  uint64_t bin_size = 0;
};

// Reads the header, map and metadata of `file`; `*refusal` says why not when
// the result is false.
bool open_image(std::span<const uint8_t> file, Image& image, Refusal* refusal);

// The decoding state of one thread (codec contexts and scratch buffers).
class HunkDecoder {
 public:
  explicit HunkDecoder(const Image& image);
  ~HunkDecoder();
  HunkDecoder(const HunkDecoder&) = delete;
  HunkDecoder& operator=(const HunkDecoder&) = delete;

  // Decodes hunk `n` of `file` into `out` (image.hunk_bytes bytes), with the
  // sync and ECC of every frame that had them taken out made again. False when
  // the hunk is damaged: bad data, a size that disagrees, a copy chain that
  // does not end, or a CRC mismatch.
  bool decode(std::span<const uint8_t> file, uint32_t n,
              std::span<uint8_t> out);

  // Reads file bytes [at, at + n) into `out`, false when it cannot; given,
  // the stored bytes of hunks are read with it instead of from `file`.
  using Reader = std::function<bool(uint64_t at, std::size_t n, uint8_t* out)>;
  void set_reader(Reader reader) { reader_ = std::move(reader); }

  // Decodes the bytes `in` of one hunk compressed with CD codec `codec` into
  // `out` (whole frames); false when they do not decode to exactly that.
  bool decode_codec(uint32_t codec, std::span<const uint8_t> in,
                    std::span<uint8_t> out);

  struct Codecs;

 private:
  bool decode_one(std::span<const uint8_t> file, const MapEntry& e,
                  std::span<uint8_t> out);
  const Image& image_;
  std::unique_ptr<Codecs> codecs_;
  Reader reader_;
};

// A run of BIN bytes taken from a decoded hunk.
struct Piece {
  uint64_t bin_offset = 0;
  const uint8_t* data = nullptr;
  std::size_t size = 0;
  bool audio = false;  // of an audio track
};

// The BIN pieces of decoded hunk `n` (`hunk`, swapped in place where the BIN
// holds audio samples little-endian), in BIN order, appended to `out`.
void bin_pieces(const Image& image, uint32_t n, std::span<uint8_t> hunk,
                std::vector<Piece>& out);

// True when no frame of hunk `n` is a BIN frame outside an audio track.
bool only_audio(const Image& image, uint32_t n);

// BIN bytes [begin, end) that the frames of hunk `n` hold (one run: a hunk's
// frames follow each other in the BIN); begin == end when it holds none.
struct BinRange {
  uint64_t begin = 0, end = 0;
};
BinRange hunk_bin_range(const Image& image, uint32_t n);

// How the BIN is laid out, from the track metadata alone: a raw image of
// `format` when the first track is a data track of whole raw sectors (2352
// bytes a frame in the BIN, 2448 with subcode, or the 2336 of Mode 2 without
// sync and header); else plain bytes (2048-byte sectors, audio first, ...).
struct BinLayout {
  bool raw = false;
  SectorFormat format = SectorFormat::k2352;
};
BinLayout bin_layout(const Image& image);

// Reads the header, map and metadata of `file` into `image`: an empty
// string, or why the CHD cannot be read (refusal_text, as for a CHD that
// needs more memory than there is, "its BIN would be larger ...").
std::string open_chd(std::span<const uint8_t> file, Image& image);

// The cue sheet of the BIN that holds every track of `image` in one file
// named `bin_name`: the text a CD image tool writes when it extracts them.
std::string cue_sheet(const Image& image, const std::string& bin_name);

// How decode_hunks works.
struct DecodeOptions {
  unsigned threads = 0;  // decoding threads; 0: one per core
  // Given, each thread's decoder reads the stored bytes of hunks with it.
  HunkDecoder::Reader reader;
  // Hunks of audio frames only are not decoded but handed on as zeros.
  bool skip_audio = false;
  // Given, called with each hunk's number as it is handed on (in order).
  std::function<void(uint32_t hunk)> progress;
};

// Takes hunk `n`: its BIN pieces, or when `ok` is false (a damaged hunk) the
// same pieces over zeros. Returning false stops the decoding.
using PieceConsumer =
    std::function<bool(uint32_t n, std::span<const Piece> pieces, bool ok)>;

// Decodes every hunk of `file` on options.threads threads and hands their
// pieces to `consume` in hunk order (see decode_in_order): the same for any
// number of threads. False when `consume` stopped.
bool decode_hunks(std::span<const uint8_t> file, const Image& image,
                  const DecodeOptions& options, const PieceConsumer& consume);

// The whole BIN of `file` into `bin` (image.bin_size bytes), decoded with
// `options` (whose skip_audio it ignores); the bytes of damaged hunks are zeros
// and their numbers go to `damaged`, in order. False, `bin` empty, when the BIN
// cannot be allocated.
bool decode_bin(std::span<const uint8_t> file, const Image& image,
                const DecodeOptions& options, std::vector<uint8_t>& bin,
                std::vector<uint32_t>& damaged);

// CRC-16 (CCITT, initial 0xFFFF) as the map and hunks use it.
uint16_t crc16(std::span<const uint8_t> data);

}  // namespace vexlo::chd
