// Error detection and correction codes of raw 2352-byte CD sectors: the
// EDC (a CRC-32) and the P and Q parity of the Reed-Solomon product code
// (ECMA-130 Annex A), recomputed after a sector's data was changed.
#pragma once

#include <cstdint>
#include <span>

#include "disc/disc_image.h"

namespace vexlo {

// CRC-32 of `bytes` with the polynomial x^32+x^31+x^16+x^15+x^4+x^3+x+1
// processed least significant bit first (0xD8018001 reflected), start 0 and
// no final XOR: the value a sector stores little-endian after the bytes it
// covers. Given the EDC of the bytes before as `edc`, it runs on over
// `bytes`.
uint32_t sector_edc(std::span<const uint8_t> bytes, uint32_t edc = 0);

// Recomputes the EDC and ECC of a Mode 1 or Mode 2 Form 1 sector (of at
// least 2352 bytes) in place. Mode 1: EDC over bytes 0-2063 at 2064, bytes
// 2068-2075 zeroed. Form 1: EDC over bytes 16-2071 at 2072, the ECC computed
// with the header taken as zero. False, changing nothing, for any other
// sector (no sync, Form 2, another mode).
bool rebuild_edc_ecc(std::span<uint8_t> sector);

// rebuild_edc_ecc for a sector of `format`: the 2352 bytes that start a
// 2448-byte sector, or the 2336 bytes of a sector without sync and header
// (a Form 1 one: its EDC and ECC do not depend on the header).
bool rebuild_sector_codes(std::span<uint8_t> sector, SectorFormat format);

// Writes the P and Q parity (bytes 2076-2351) of `sector` (at least 2352
// bytes), computed over bytes 12-2247 as they are, header included.
void write_sector_ecc(std::span<uint8_t> sector);

}  // namespace vexlo
