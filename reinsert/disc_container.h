// PBP discs and ECM images as reinsertion sees them: the BIN each holds
// (one disc of a PBP) is what the catalogue's rows and the copy are of, and
// the copy gets a cue sheet.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "disc/pbp.h"

namespace vexlo {

struct ContainerBin {
  bool ecm = false;
  int disc = 1;      // of a PBP
  pbp::Disc layout;  // of a PBP's disc: its table of contents
  std::vector<uint8_t> bin;
  std::vector<uint32_t> damaged;  // blocks of a PBP's disc that did not inflate
};

// True when `file` begins as a PBP or an ECM does.
bool is_container(std::span<const uint8_t> file);

// The BIN of disc `disc` (1 for a single disc, and for an ECM) of the PBP or
// ECM `file`, decoded on every core, into `out`; empty, or why not ("its
// checksum does not match", "it has no disc 3", ...).
std::string open_container(std::span<const uint8_t> file, int disc,
                           ContainerBin& out);

// The name the copy of `c`, read from `path`, is made from: a PBP's
// `game.pbp` gives `game.bin` (disc 2 `game_disc2.bin`); an ECM's
// `game.bin.ecm` gives `game.bin`, any other name its extension replaced
// by `.bin`.
std::string container_bin_name(const std::string& path, const ContainerBin& c);

// The cue sheet of the copy `bin` of `c` named `bin_name`: a PBP's from its
// table of contents, an ECM's one track of the mode of its first data
// sector.
std::string container_cue_sheet(const ContainerBin& c,
                                std::span<const uint8_t> bin,
                                const std::string& bin_name);

}  // namespace vexlo
