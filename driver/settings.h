// The run-wide record: the settings from vexlo.cfg and the values the scan
// keeps across files. Both scan/ and convert/ read it; neither includes the
// other.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "driver/file_id.h"

namespace vexlo {

// Longest text a path or configuration value may hold (a 1024-byte buffer
// with its terminator, in the original file format's terms).
constexpr std::size_t kTextMax = 1023;

constexpr const char* kConfigName = "vexlo.cfg";

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
  bool looseflags = false;
  bool strict = false;
};

struct Run {
  Settings settings;
  // Number the next TIM's output files get; one more than the TIMs counted.
  int32_t tim_counter = 1;
  // Byte offset of the most recently reported TIM (names bitmaps by offset).
  int32_t last_offset = 0;

  // The file being scanned, so that no output ever overwrites it.
  bool have_input_id = false;
  FileId input_id;
  // Every file this run has written, so a tree search never scans its own
  // output.
  std::set<FileId> outputs;
  // Bitmap names written this run, so that offset-named bitmaps from
  // different files of a tree search do not replace each other.
  std::set<std::string> bmp_names;
};

}  // namespace vexlo
