// End-to-end: nopause ends the run at once, its status telling whether an
// input could not be read or an output not written.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

namespace fs = std::filesystem;

TEST(NoPause, StatusTellsWhetherAnythingFailed) {
  struct Case {
    const char* what;
    std::string config;
    const char* blocker;  // a directory standing where an output goes
    int status;
  } cases[] = {
      {"a clean scan", "infile=\"in.bin\" outname=\"x\" writetim=\"1\"",
       nullptr, 0},
      {"no input given", "outname=\"x\"", nullptr, 0},
      {"an input that cannot be opened", "infile=\"none.bin\"", nullptr, 1},
      {"a copy that cannot be written",
       "infile=\"in.bin\" outname=\"x\" writetim=\"1\"", "x1.tim", 1},
      {"a bitmap that cannot be written",
       "infile=\"in.bin\" outname=\"x\" writebmp=\"1\"", "x1.bmp", 1},
      {"an index that cannot be written",
       "infile=\"in.bin\" outname=\"x\" writeindex=\"1\"", "xindex.html", 1},
      {"a catalogue that cannot be read", "reinsert=\"none.csv\"", nullptr, 1},
  };
  for (const Case& c : cases) {
    Sandbox box;
    box.write("in.bin", one_tim());
    if (c.blocker) fs::create_directory(box.path(c.blocker));
    box.config(c.config);
    const Outcome waits = box.run();
    EXPECT_EQ(waits.status, 255) << c.what;  // no console: the key wait fails
    box.config(c.config + " nopause=\"1\"");
    const Outcome o = box.run();
    EXPECT_EQ(o.out, waits.out) << c.what;
    EXPECT_EQ(o.status, c.status) << c.what;
  }
}

}  // namespace
}  // namespace vexlo::test
