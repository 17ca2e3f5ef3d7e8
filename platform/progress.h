// The status line of a long run: one line on standard error, rewritten in
// place at most ten times a second, telling what is being read, how far it
// is, what was found and how fast it goes. It is drawn only when standard
// error is a terminal (a console on Windows); otherwise nothing is written.
// Standard output never holds any of it: whoever prints there while a job
// runs calls clear() first, and the line comes back at the next update
// (when standard output goes elsewhere than the terminal, the line stays).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexlo {

struct ProgressJob {
  std::string what;  // e.g. "Scanning disc.bin"
  uint64_t total = 0;
  // What `total` counts: bytes (shown in MB, with a rate in MB/s) or rows.
  enum class Unit { kBytes, kRows } unit = Unit::kBytes;
  // Steps of decoding (hunks, blocks) besides the bytes; 0 for none.
  uint64_t steps = 0;
  const char* step_name = "";
  // What the found count counts, after the number ("TIMs", "patched").
  const char* found_name = "TIMs";
};

// The text of the line: "<what>: <done> of <total> ..., <found> <name>,
// <rate>", at most `columns` - 1 characters (a full line would wrap), the
// start of `what` given up first.
std::string progress_text(const ProgressJob& job, uint64_t done,
                          uint64_t steps_done, int64_t found, double seconds,
                          int columns);

class Progress {
 public:
  // The run's one line.
  static Progress& line();

  bool on() const { return on_; }
  // True while a job runs.
  bool busy() const { return busy_; }

  // Starts a job; the line is drawn at its first update that comes at least
  // a tenth of a second after the last drawing (or the run's first job).
  void begin(ProgressJob job);
  // Where the job is; draws when it is time to.
  void update(uint64_t done, int64_t found, uint64_t steps_done = 0);
  // Before printing to standard output: erases the line when it is drawn
  // on the terminal standard output shows in.
  void clear() {
    if (drawn_ > 0 && shared_) erase();
  }
  // Erases the line; the job is over.
  void end();

 private:
  Progress();
  void erase();

  using Clock = std::chrono::steady_clock;
  bool on_ = false;
  bool shared_ = false;  // standard output is a terminal too
  bool busy_ = false;
  bool started_ = false;
  ProgressJob job_;
  Clock::time_point job_start_;
  Clock::time_point last_draw_;
  std::size_t drawn_ = 0;  // characters on the line now
};

// The terminal side, per system.
bool stderr_is_terminal();
bool stdout_is_terminal();
// Columns of the terminal standard error shows in; 80 when unknown.
int stderr_columns();
void write_stderr(std::string_view text);

}  // namespace vexlo
