// PBP and ECM discs: the BIN each holds (a PBP's, disc by disc) decoded into
// memory and scanned as that BIN would be read from a file.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "disc/pbp.h"
#include "platform/aligned_buffer.h"
#include "scan/stream_scan.h"

namespace vexlo {

// True when `file` begins as a PBP or an ECM does.
bool is_disc_container(std::span<const uint8_t> file);

class DiscContainer {
 public:
  // Reads the headers of the PBP `file`, or decodes the ECM `file` whole and
  // checks it; false, after its "Can't read" or "Skipping" line, when it
  // cannot be read. `threads` decode a PBP's blocks (0: one per core); the
  // results are the same for any number.
  bool open(std::span<const uint8_t> file, const std::string& path,
            unsigned threads = 0);

  // Scans the BIN of each disc in turn into `input`; true when the limit
  // ended the scan.
  bool scan(InputScan& input);

 private:
  std::span<const uint8_t> file_;
  std::string path_;
  unsigned threads_ = 0;
  bool ecm_ = false;
  pbp::Image pbp_;
  AlignedBuffer bin_;
};

}  // namespace vexlo
