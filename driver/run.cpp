#include "driver/run.h"

#include <cstdio>
#include <string>

#include "catalogue/catalogue.h"
#include "driver/config.h"
#include "platform/console.h"
#include "platform/failures.h"
#include "reinsert/reinsert.h"
#include "scan/scan_file.h"
#include "scan/walk.h"

namespace vexlo {

namespace {

// The key pressed, or with nopause at once: 0, or 1 when an input could not
// be read or an output not written.
int end_of_run(const Settings& s) {
  if (s.nopause) return any_failure() ? 1 : 0;
  return wait_key();
}

}  // namespace

int run(Run& state) {
  Settings& s = state.settings;
  // The version comes from project() in CMakeLists.txt; the rule under the
  // title is as long as the title.
  const std::string title = std::string("Vexlo version ") + VEXLO_VERSION;
  std::printf("%s\n%s\n", title.c_str(),
              std::string(title.size(), '=').c_str());
  s.infile.clear();
  s.outname.clear();
  s.inpath.clear();
  s.reinsert.clear();
  load_config(s);
  if (s.outname.empty()) {
    std::printf(
        "No output base path specified in '%s', no files will be written.\n",
        kConfigName);
    s.writetim = false;
    s.writebmp = false;
    s.writeindex = false;
    s.writepng = false;
  }
  if (!s.reinsert.empty()) {
    // A reinsertion run scans nothing and writes only copies and patches.
    const int32_t n = reinsert(state);
    std::printf("A total of %i tim(s) reinserted.\n", n);
    std::fflush(stdout);
    return end_of_run(s);
  }
  if (s.tree_search && !s.inpath.empty()) {
    catalogue_begin(state.catalogue, s, state.guard);
    walk_directory(state, s.inpath);
  } else if (!s.infile.empty()) {
    // Only a tree search looks up what this run wrote.
    state.guard.set_remember_written(false);
    catalogue_begin(state.catalogue, s, state.guard);
    scan_file(state, s.infile);
  } else {
    std::printf("No input file specified, exiting.\nModify your '%s' file.\n",
                kConfigName);
  }
  // The gallery, before the total line.
  catalogue_end(state.catalogue, s, state.guard, state.files_scanned);
  std::printf("A total of %i tim(s) found.\n", state.tim_counter - 1);
  // Everything must be on the screen (or in the pipe) while we wait.
  std::fflush(stdout);
  return end_of_run(s);
}

}  // namespace vexlo
