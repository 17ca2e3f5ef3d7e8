// Scanning a CHD CD image as the BIN extracted from it would be scanned:
// its hunks are decoded on all cores, handed over in order, and their BIN
// bytes go straight into the data stream the scan reads.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "disc/chd.h"
#include "platform/input_file.h"
#include "scan/stream_scan.h"

namespace vexlo {

// Reads the header, map and metadata of the CHD `file` at `path`; false,
// after its "Can't read" line, when it cannot be read.
bool open_chd(std::span<const uint8_t> file, const std::string& path,
              chd::Image& image);

// Scans the CHD `data` of `input`, whose image open_chd read, with
// `threads` decoding threads (0: one per core); the results are the same for
// any number. True when the limit ended the scan.
bool scan_chd(InputScan& input, const chd::Image& image, const InputData& data,
              unsigned threads = 0);

}  // namespace vexlo
