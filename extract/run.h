// The record of one run that the scan carries from TIM to TIM and from file
// to file: the settings, the counter, the outputs written, the catalogue
// and the TIMs already seen. The driver holds it.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "catalogue/catalogue.h"
#include "extract/repeats.h"
#include "platform/output_file.h"
#include "settings/settings.h"

namespace vexlo {

struct Run {
  Settings settings;
  // Number the next TIM's output files get; one more than the TIMs counted.
  int32_t tim_counter = 1;
  // The input being scanned and every file written: no output replaces the
  // one, and a tree search never scans the others.
  OutputGuard guard{kTextMax};
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
