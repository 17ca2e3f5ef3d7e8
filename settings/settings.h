// The settings of a run, read from vexlo.cfg, and the one table of its keys
// that both the configuration reader and the catalogue's list of keys go by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
  // Open the packed streams found at any offset and scan what they unpack to.
  bool unpack = false;
};

// How a key's value is taken.
enum class KeyKind : uint8_t {
  kText,     // the value, cut to kTextMax, when it is not empty
  kNumber,   // the value as a number (config_int), when it is not empty
  kFlag,     // on unless the value is empty or starts with '0'
  kTree,     // text that, when given, turns the tree search on
  kPattern,  // the tree search's wildcard: only with kTree, "*.*" unless it
             // starts with '*'
  kFile,     // text that counts only without the tree search
};

// One key of vexlo.cfg and the field of Settings it sets: `text` for the
// text kinds, `number` or `flag` for the others.
struct Key {
  const char* name;
  KeyKind kind;
  std::string Settings::*text = nullptr;
  int32_t Settings::*number = nullptr;
  bool Settings::*flag = nullptr;
};

// Every key, in the order the page of the catalogue lists the flags that
// are on. A key is found by substring search: no name may end with another
// one, nor be the tail of one.
inline constexpr Key kKeys[] = {
    {"inpath", KeyKind::kTree, &Settings::inpath},
    {"searchtype", KeyKind::kPattern, &Settings::searchtype},
    {"infile", KeyKind::kFile, &Settings::infile},
    {"outname", KeyKind::kText, &Settings::outname},
    {"maxtims", KeyKind::kNumber, nullptr, &Settings::maxtims},
    {"mintimsize", KeyKind::kNumber, nullptr, &Settings::mintimsize},
    {"maxtimsize", KeyKind::kNumber, nullptr, &Settings::maxtimsize},
    {"typefilter", KeyKind::kNumber, nullptr, &Settings::typefilter},
    {"writetim", KeyKind::kFlag, nullptr, nullptr, &Settings::writetim},
    {"writebmp", KeyKind::kFlag, nullptr, nullptr, &Settings::writebmp},
    {"numbyoffset", KeyKind::kFlag, nullptr, nullptr, &Settings::numbyoffset},
    {"writepng", KeyKind::kFlag, nullptr, nullptr, &Settings::writepng},
    {"allcluts", KeyKind::kFlag, nullptr, nullptr, &Settings::allcluts},
    {"writeindex", KeyKind::kFlag, nullptr, nullptr, &Settings::writeindex},
    {"cdimage", KeyKind::kFlag, nullptr, nullptr, &Settings::cdimage},
    {"looseflags", KeyKind::kFlag, nullptr, nullptr, &Settings::looseflags},
    {"strict", KeyKind::kFlag, nullptr, nullptr, &Settings::strict},
    {"reinsert", KeyKind::kText, &Settings::reinsert},
    {"skipduplicates", KeyKind::kFlag, nullptr, nullptr,
     &Settings::skipduplicates},
    {"nopause", KeyKind::kFlag, nullptr, nullptr, &Settings::nopause},
    {"unpack", KeyKind::kFlag, nullptr, nullptr, &Settings::unpack},
};

}  // namespace vexlo
