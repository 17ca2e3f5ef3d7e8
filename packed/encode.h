// Encoders: each writes a whole stream (header and data) of one packed-data
// scheme from unpacked bytes, with the parameters its stream was read with.
// Pure functions; nullopt when the bytes cannot be written in that form
// (a size beyond the header's field, chunk sizes that do not add up).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "packed/packed.h"

namespace vexlo {

using PackedBytes = std::vector<uint8_t>;

// lzss, with the copy length add-on of the variant it was read with.
std::optional<PackedBytes> encode_lzss(std::span<const uint8_t> data,
                                       const LzssFields& fields);

std::optional<PackedBytes> encode_napk(std::span<const uint8_t> data);

// ulz: its header form, version (0 or 2) and distance bits N; the offsets
// are those of the new stream.
std::optional<PackedBytes> encode_ulz(std::span<const uint8_t> data,
                                      const UlzFields& fields);

std::optional<PackedBytes> encode_gtzip(std::span<const uint8_t> data);

// slz: one chunk per entry of `chunks`, each with its magic, method and
// unpacked size (these must add up to the data's size); the other fields
// are those of the new chain. Each chunk's copies stay inside its own bytes.
std::optional<PackedBytes> encode_slz(std::span<const uint8_t> data,
                                      std::span<const SlzChunk> chunks);

// refpack in its header form; a packed-size field gets the size of the
// commands after the header, or with `size_with_header` the whole stream's.
std::optional<PackedBytes> encode_refpack(std::span<const uint8_t> data,
                                          RefpackHeader header,
                                          bool size_with_header = false);

// zlib: the header zlib writes at level 9 (78 DA), deflate at level 9 with a
// 32 KiB window, the Adler-32.
std::optional<PackedBytes> encode_zlib(std::span<const uint8_t> data);

// gzip: the member's header from its fields (flags, time, extra field, name
// and comment as they were; XFL 2 for level 9; the header CRC recomputed
// when FHCRC is set), deflate at level 9 with a 32 KiB window, and the
// trailer (CRC-32 and size) recomputed.
std::optional<PackedBytes> encode_gzip(std::span<const uint8_t> data,
                                       const GzipFields& fields);

// Raw deflate at level 9 with a 32 KiB window: the shorter of zlib's two
// memory levels.
PackedBytes deflate_level9(std::span<const uint8_t> data);

// The stream `old` packed again, in its scheme and with its parameters,
// from `unpacked` (its unpacked bytes, edited). A gzip member whose trailer
// was cut off by the end of its data keeps only the trailer bytes that fit
// in the old stream's place.
std::optional<PackedBytes> repack(const PackedStream& old,
                                  std::span<const uint8_t> unpacked);

}  // namespace vexlo
