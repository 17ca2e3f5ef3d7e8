// The run-wide record: the settings from vexlo.cfg and the values the scan
// keeps across files. Every room reads it: it is the one include allowed to
// point up from a lower room.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "platform/file_id.h"

namespace vexlo {

// Longest text a path or configuration value may hold (a 1024-byte buffer
// with its terminator, in the original file format's terms).
constexpr std::size_t kTextMax = 1023;

constexpr const char* kConfigName = "vexlo.cfg";

struct CatalogueState;  // catalogue/catalogue.h
class RepeatTable;      // extract/repeats.h

struct Settings {
  bool tree_search = false;
  std::string inpath;
  std::string searchtype;
  std::string infile;
  std::string outname;
  int32_t maxtims = 10;
  int32_t mintimsize = 64;
  int32_t maxtimsize = 4000000;
  int32_t typefilter = -1;
  bool writetim = false;
  bool writebmp = true;
  bool numbyoffset = false;
  bool writeindex = false;
  bool cdimage = false;
  bool writepng = false;
  bool allcluts = false;
  bool looseflags = false;
  bool strict = false;
  // The catalogue CSV of a reinsertion run; empty for a scan.
  std::string reinsert;
  bool skipduplicates = false;
  // End without the key wait; the exit status tells whether anything failed.
  bool nopause = false;
};

struct Run {
  Settings settings;
  // Number the next TIM's output files get; one more than the TIMs counted.
  int32_t tim_counter = 1;

  // The file being scanned, so that no output ever overwrites it.
  bool have_input_id = false;
  FileId input_id;
  // Every file this run has written, so a tree search never scans its own
  // output.
  std::set<FileId> outputs;
  // Image names (bitmaps and PNGs) written this run, so that offset-named
  // images from different files of a tree search do not replace each other.
  std::set<std::string> bmp_names;

  // The number of files scanned so far (for the catalogue).
  int32_t files_scanned = 0;

  // The catalogue being written (writeindex); null while there is none.
  std::shared_ptr<CatalogueState> catalogue;
  // The first number of every distinct TIM counted (writeindex or
  // skipduplicates); null until the first.
  std::shared_ptr<RepeatTable> repeats;
};

}  // namespace vexlo
