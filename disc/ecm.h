// ECM images: a raw CD image with what can be made again of each sector
// (sync, mode, EDC, parity) left out. Records of a type and a count follow the
// magic; an end marker and the EDC of the whole image close them. Decoding
// gives back the image byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace vexlo::ecm {

// Largest image decoded: offsets are signed 32-bit.
constexpr uint64_t kMaxBinSize = 2147483647;

// True when `file` begins with the ECM magic.
bool is_ecm(std::span<const uint8_t> file);

enum class Outcome {
  kOk,
  kTruncated,  // a record, the end marker or the checksum cut short
  kChecksum,   // the decoded bytes disagree with the stored EDC
  kTooLarge,   // the image would exceed kMaxBinSize
};

// The "Can't read" reason for `o` (without the file name), e.g. "truncated".
std::string outcome_text(Outcome o);

// The size of the image `file` holds, found by walking its records without
// decoding them (each record's stored bytes must be there). kTruncated and
// kTooLarge as above; the checksum is not checked.
Outcome measure(std::span<const uint8_t> file, uint64_t* bin_size);

// Hands the image's bytes in order to `sink` (one record's literal bytes or
// one sector at a time), then checks the stored EDC. A false from `sink` stops
// the decoding, giving kOk with *stopped set. Bytes already handed over are not
// taken back when the result is kTruncated or kChecksum: the caller drops them.
using Sink = std::function<bool(const uint8_t* bytes, std::size_t n)>;
Outcome decode(std::span<const uint8_t> file, const Sink& sink,
               bool* stopped = nullptr);

// decode into `bin`, of exactly the size measure gave.
Outcome decode(std::span<const uint8_t> file, std::span<uint8_t> bin);

}  // namespace vexlo::ecm
