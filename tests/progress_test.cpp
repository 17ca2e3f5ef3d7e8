#include "platform/progress.h"

#include <gtest/gtest.h>

namespace vexlo {
namespace {

ProgressJob job(std::string what, uint64_t total) {
  ProgressJob j;
  j.what = std::move(what);
  j.total = total;
  return j;
}

TEST(Progress, LineText) {
  ProgressJob hunks = job("Decoding d.chd", 700000000);
  hunks.steps = 9000;
  hunks.step_name = "hunks";
  ProgressJob rows = job("Reinserting from x.csv", 300);
  rows.unit = ProgressJob::Unit::kRows;
  rows.found_name = "patched";
  struct Case {
    const char* what;
    ProgressJob job;
    uint64_t done, steps;
    int64_t found;
    double seconds;
    int columns;
    std::string want;
  } cases[] = {
      {"bytes", job("Scanning a.bin", 2500000), 1250000, 0, 7, 0.5, 80,
       "Scanning a.bin: 1.2 of 2.5 MB, 7 TIMs, 2.5 MB/s"},
      {"no time yet, no rate", job("Scanning a.bin", 2500000), 0, 0, 0, 0, 80,
       "Scanning a.bin: 0.0 of 2.5 MB, 0 TIMs"},
      {"hunks", hunks, 350000000, 4500, 2, 10, 100,
       "Decoding d.chd: 350.0 of 700.0 MB, 4500 of 9000 hunks, 2 TIMs, "
       "35.0 MB/s"},
      {"rows", rows, 120, 0, 15, 2, 80,
       "Reinserting from x.csv: 120 of 300 rows, 15 patched, 60 rows/s"},
      // A line never fills the terminal: the path gives up its start.
      {"long path", job("Scanning /very/long/path/to/a.bin", 1000000), 0, 0, 0,
       0, 40, "...path/to/a.bin: 0.0 of 1.0 MB, 0 TIMs"},
      {"characters, not bytes", job("Scanning \xC3\xA9t\xC3\xA9.bin", 1000000),
       0, 0, 0, 0, 33, "...t\xC3\xA9.bin: 0.0 of 1.0 MB, 0 TIMs"},
      {"narrow terminal", job("Scanning a.bin", 1000000), 0, 0, 0, 0, 10,
       "B, 0 TIMs"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(
        progress_text(c.job, c.done, c.steps, c.found, c.seconds, c.columns),
        c.want)
        << c.what;
}

}  // namespace
}  // namespace vexlo
