// Wraps bytes into the sectors of a raw 2352-byte CD image, for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/tim_builder.h"

namespace vexlo::test {

enum class Sector {
  kForm1,  // Mode 2 Form 1: subheader 00 00 08 00 twice, 2048 data bytes
  kMode1,  // 2048 data bytes
  kForm2,  // Mode 2 Form 2: 2324 bytes that are not data
  kAudio,  // no sync, 2352 bytes of samples
  kMode0,  // sync and header, mode 0
};

// A raw image under construction, with the file offset of every data byte.
struct Disc {
  Bytes image;
  std::vector<std::size_t> raw;  // raw[i]: file offset of stream byte i

  // Appends one sector. Data sectors take the next 2048 bytes of `payload`
  // from `*at` (zeros past its end) and advance `*at`; other sectors hold
  // `payload` from `*at` without advancing it, as the bytes they carry.
  // EDC/ECC are filler, the address is binary.
  void add(Sector kind, const Bytes& payload, std::size_t* at);
};

// Writes the EDC of every Mode 2 Form 1 sector of the 2352-byte `image`.
void set_form1_edc(Bytes& image);

// Gives every `every`-th sector of the 2352-byte `image` (from its first)
// the codes a pressed disc has: EDC and P/Q parity on Mode 1 and Form 1
// sectors, EDC on Form 2 ones. The others keep their filler.
void set_sector_codes(Bytes& image, std::size_t every = 1);

// The 2352-byte `image` in sectors of `size`: 2448 (96 subchannel bytes of
// `sub` after each) or 2336 (the sync and header of each cut off).
Bytes resize_sectors(const Bytes& image, std::size_t size, uint8_t sub = 0);

// `stream` in data sectors (Form 1 with every third Mode 1), a Form 2, an
// audio and a mode 0 sector holding copies of the next data after every
// fifth data sector past the fourth, and a part-sector tail of `tail` bytes.
Disc wrap_stream(const Bytes& stream, std::size_t tail);

}  // namespace vexlo::test
