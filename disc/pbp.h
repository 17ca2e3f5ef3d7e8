// PBP files holding PlayStation discs: the file header, the disc headers of
// DATA.PSAR (one disc, or a title header naming up to five), each disc's
// table of contents and block index, and the inflating of its blocks of 16
// raw sectors into the BIN they hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vexlo::pbp {

constexpr std::size_t kBlockBytes = 0x9300;  // 16 sectors of 2352 bytes
constexpr std::size_t kBlockSectors = 16;
constexpr uint32_t kMaxBlocks = 32256;
constexpr std::size_t kMaxDiscs = 5;

// True when `file` begins with the PBP magic.
bool is_pbp(std::span<const uint8_t> file);

// Why a PBP cannot be read; kNone when it can.
enum class Refusal {
  kNone,
  kUnknown,    // DATA.PSAR holds no disc header (encrypted, other layouts)
  kTruncated,  // a header, index or block lies past the end of the file
};

// The "Can't read" reason for `r` (without the file name).
std::string refusal_text(Refusal r);

struct Block {
  uint64_t offset = 0;  // in the file
  uint32_t size = 0;    // stored bytes; kBlockBytes means not compressed
};

// One track of the table of contents.
struct Track {
  int number = 0;  // 1..99
  bool data = false;
  uint32_t start = 0;  // first sector, counted from the BIN's first
};

struct Disc {
  uint64_t header = 0;        // file offset of the disc header
  std::string game_code;      // e.g. "_SCUS_94476", printable ASCII only
  std::vector<Track> tracks;  // in number order; empty when unreadable
  uint32_t lead_out = 0;      // sectors on the disc per the contents, 0 unknown
  std::vector<Block> blocks;
  // The BIN: the blocks' bytes in order, cut to the lead-out when that lies
  // inside them (the last block is padded to 16 sectors).
  uint64_t bin_size = 0;
};

struct Image {
  std::vector<Disc> discs;  // 1 to kMaxDiscs
};

// Reads the headers, contents and block indexes of `file`; `*refusal` says
// why not when the result is false.
bool open_image(std::span<const uint8_t> file, Image& image, Refusal* refusal);

// The inflating state of one thread.
class BlockDecoder {
 public:
  BlockDecoder();
  ~BlockDecoder();
  BlockDecoder(const BlockDecoder&) = delete;
  BlockDecoder& operator=(const BlockDecoder&) = delete;

  // Decodes the stored bytes `in` of a block into `out` (kBlockBytes): a
  // copy when they are kBlockBytes long, else raw deflate. False, with `out`
  // zeroed, when they do not inflate to exactly kBlockBytes.
  bool decode(std::span<const uint8_t> in, std::span<uint8_t> out);

  // decode for block `n` of `disc` in `file` (open_image checked its bytes
  // lie in the file).
  bool decode(std::span<const uint8_t> file, const Disc& disc, uint32_t n,
              std::span<uint8_t> out);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The BIN bytes block `n` of `disc` gives: kBlockBytes, fewer for the last
// block when the BIN is cut to the lead-out, 0 past it.
std::size_t block_bin_bytes(const Disc& disc, uint32_t n);

// The BIN of `disc` in `file` into `bin` (disc.bin_size bytes), its blocks
// inflated on `threads` threads (0: one per core). A damaged block reads as
// zeros, its number in `damaged` (in order). False, with nothing decoded,
// when `bin` has another size or the memory for the list cannot be had. The
// BIN is the same for any number of threads.
bool decode_disc(std::span<const uint8_t> file, const Disc& disc,
                 unsigned threads, std::span<uint8_t> bin,
                 std::vector<uint32_t>& damaged);

// The cue sheet of `disc` as a BIN named `bin_name`: a track for each track
// of its contents from its start (data tracks by the mode of their first
// sector in `bin`), or one data track without contents.
std::string cue_sheet(const Disc& disc, const std::string& bin_name,
                      std::span<const uint8_t> bin);

}  // namespace vexlo::pbp
