// The one offset loop: every source (a plain file, a raw image read in
// place, a CHD decoded into memory) hands its data stream to it, and it
// examines the candidates, reports and writes each TIM, and stops at the
// limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "disc/iso9660.h"
#include "disc/stream.h"
#include "extract/run.h"
#include "packed/packed.h"
#include "platform/input_file.h"
#include "scan/candidate.h"
#include "scan/candidate_stream.h"
#include "tim/tim.h"

namespace vexlo {

// A disc's file system and where its sector 0 lies: disc sector n is the
// image's sector n + base, or for a plain image of 2048-byte sectors its
// bytes from n * 2048.
struct DiscFileSystem {
  DiscFiles files;
  int64_t base = 0;
};

// The scan of one input: the run, and what it knows of the input besides
// its stream.
struct InputScan {
  Run& run;
  // The input, as its "Reading" line shows it.
  std::string path;
  // Its file system (cdimage with writeindex); empty without one.
  DiscFileSystem disc;
  // In a PBP: the number of the disc being scanned; 0 for other inputs.
  int disc_number = 0;
};

// How the settings shape recognition.
inline ExamineOptions examine_options(const Settings& s) {
  return {.typefilter = s.typefilter,
          .looseflags = s.looseflags,
          .strict = s.strict};
}

// What the candidate search of an input's stream keeps: with unpack, also
// the first bytes of packed headers.
inline CandidateFilter candidate_filter(const Settings& s) {
  return {.looseflags = s.looseflags, .packed = s.unpack};
}

// Where the TIMs of a packed stream's unpacked bytes are shown: the stream's
// scheme and its first byte in the input.
struct PackedOrigin {
  std::string_view scheme;
  StreamPlace place;
  std::string_view disc_file;
  std::optional<uint32_t> disc_file_offset;
};

// The offset loop over `stream`. Each source yields its candidate offsets
// in increasing order (run); every one is looked at the same way (look_at).
// A stream found inside another (packed data) is scanned by a loop of its
// own over it, run from the outer loop's look at the stream's first byte.
class OffsetLoop {
 public:
  // `origin` is null for an input's stream, and for the unpacked bytes of a
  // packed stream says where their TIMs are shown.
  OffsetLoop(InputScan& input, const DataStream& stream,
             const PackedOrigin* origin = nullptr);
  ~OffsetLoop();
  OffsetLoop(const OffsetLoop&) = delete;
  OffsetLoop& operator=(const OffsetLoop&) = delete;

  // No TIM is looked for in the last `mintimsize` bytes: the offsets
  // examined for one are below end() (0 when none is).
  std::size_t end() const { return end_; }
  // The candidate search yields offsets below search_end(), with filter():
  // with unpack, packed headers are looked for wherever one fits, also in
  // the last mintimsize bytes. 0 when no offset is looked at.
  std::size_t search_end() const { return search_end_; }
  CandidateFilter filter() const {
    return {.looseflags = options_.looseflags, .packed = unpack_};
  }

  // Looks at every offset next() yields, up to the first at or past
  // search_end(); true when the limit ended the scan.
  template <typename Next>
  bool run(Next&& next) {
    if (stream_.contiguous()) {
      // The hot path of a plain file: most candidates fail examine_offset.
      const std::span<const uint8_t> bytes = stream_.bytes();
      for (std::size_t pos = next(); pos < search_end_; pos = next()) {
        // A packed stream starting here has its TIMs reported first.
        if (unpack_ && pos >= packed_until_ && look_at_packed(pos)) return true;
        if (pos < end_) {
          const std::optional<Examined> found =
              examine_offset(bytes, pos, options_);
          if (found && take(pos, *found, 0)) return true;
        }
        // The status line, when this loop shows one, every so many offsets.
        if (--until_progress_ == 0) show_progress(pos);
      }
      return false;
    }
    for (std::size_t pos = next(); pos < search_end_; pos = next()) {
      if (look_at_pieces(pos)) return true;
      // The status line, when this loop shows one, every so many offsets.
      if (--until_progress_ == 0) show_progress(pos);
    }
    return false;
  }

 private:
  // Looks at offset `pos` (< search_end()) of a stream not in one piece, as
  // run's loop does for one that is: a packed stream starting there has its
  // TIMs reported first; a TIM in the size window there is reported,
  // written and counted. True when the scan is to stop.
  bool look_at_pieces(std::size_t pos);
  // Names the disc file holding `place`, when the input's disc has files.
  void name_disc_file(const StreamPlace& place, std::string_view* file,
                      std::optional<uint32_t>* offset) const;
  // Opens the packed stream at `pos`, if one starts there, and scans what
  // it unpacks to. True when the scan is to stop.
  bool look_at_packed(std::size_t pos);
  std::optional<PackedStream> open_packed_at(std::size_t pos);
  // The TIM `found` at `pos` (its image block at `image_pos` when the stream
  // is not in one piece): reported, written and counted when in the size
  // window. True when the scan is to stop.
  bool take(std::size_t pos, const Examined& found, uint64_t image_pos);

  InputScan& input_;
  const DataStream& stream_;
  const PackedOrigin* origin_;
  const ExamineOptions options_;
  const uint32_t lo_, hi_;
  const bool unpack_;
  std::size_t end_ = 0;
  std::size_t search_end_ = 0;
  std::vector<uint8_t> gathered_;  // a TIM of a stream not in one piece
  // Headers before here lie in the packed bytes of a stream already opened.
  std::size_t packed_until_ = 0;
  std::unique_ptr<Unpacker> unpacker_;
  std::vector<uint8_t> window_;  // a packed stream of a raw image, gathered
  // Whether this loop shows the status line (the outermost one of an input,
  // on a terminal), and the offsets left until its next update.
  bool shows_progress_ = false;
  uint32_t until_progress_ = 0;
  void show_progress(std::size_t pos);
};

// Scans `stream`, which lies in memory in one piece. `split`, when given,
// sets how the candidate search is spread over threads (by default: over
// the machine's cores for a large stream); what is found, printed and
// written is the same with any split. `source`, the loaded file whose
// bytes() are the stream, lets the search read the file again instead (see
// CandidateStream). True when the limit ended it.
bool scan_stream(InputScan& input, const DataStream& stream,
                 std::optional<CandidateSplit> split = std::nullopt,
                 const InputData* source = nullptr);

// The file system of the disc whose data `stream` is: a raw image's (its map
// says where the sectors lie), or a plain image's of 2048-byte sectors.
// Empty when it has none.
DiscFileSystem read_disc_files(const DataStream& stream);

// With cdimage and writeindex, reads the disc's file system into `input`
// for the catalogue rows of its TIMs.
void keep_disc_files(InputScan& input, const DataStream& stream);

// The line that opens the scan of a raw image's data.
void print_disc_line(const DiscMap& map);

// Scans `data`, which is no input file of the run: as a plain file's scan,
// with the reports and outputs but without a name.
void scan_buffer(Run& run, std::span<const uint8_t> data,
                 std::optional<CandidateSplit> split = std::nullopt);

}  // namespace vexlo
