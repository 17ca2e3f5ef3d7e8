#include "platform/progress.h"

#include <algorithm>
#include <cstdio>

namespace vexlo {

namespace {

constexpr auto kInterval = std::chrono::milliseconds(100);

std::string megabytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1e6);
  return text;
}

// Characters of UTF-8 text (bytes that do not continue a character).
std::size_t characters(std::string_view s) {
  return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// `s` without its first characters, so that `keep` remain.
std::string_view last_characters(std::string_view s, std::size_t keep) {
  std::size_t n = characters(s);
  std::size_t at = 0;
  while (n > keep && at < s.size()) {
    ++at;
    while (at < s.size() && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80)
      ++at;
    --n;
  }
  return s.substr(at);
}

}  // namespace

std::string progress_text(const ProgressJob& job, uint64_t done,
                          uint64_t steps_done, int64_t found, double seconds,
                          int columns) {
  const bool bytes = job.unit == ProgressJob::Unit::kBytes;
  std::string tail = ": ";
  if (bytes)
    tail += megabytes(done) + " of " + megabytes(job.total) + " MB";
  else
    tail += std::to_string(done) + " of " + std::to_string(job.total) + " rows";
  if (job.steps > 0)
    tail += ", " + std::to_string(steps_done) + " of " +
            std::to_string(job.steps) + " " + job.step_name;
  tail += ", " + std::to_string(found) + " " + job.found_name;
  if (seconds > 0) {
    char rate[48];
    const double per_second = static_cast<double>(done) / seconds;
    if (bytes)
      std::snprintf(rate, sizeof rate, ", %.1f MB/s", per_second / 1e6);
    else
      std::snprintf(rate, sizeof rate, ", %.0f rows/s", per_second);
    tail += rate;
  }
  const std::size_t room = static_cast<std::size_t>(std::max(columns, 2) - 1);
  const std::size_t tail_size = characters(tail);
  if (characters(job.what) + tail_size <= room) return job.what + tail;
  // The end of a path says most: give up its start.
  if (tail_size + 4 <= room)
    return "..." +
           std::string(last_characters(job.what, room - tail_size - 3)) + tail;
  return std::string(last_characters(tail, room));
}

Progress& Progress::line() {
  static Progress progress;
  return progress;
}

Progress::Progress()
    : on_(stderr_is_terminal()), shared_(on_ && stdout_is_terminal()) {}

void Progress::begin(ProgressJob job) {
  if (!on_) return;
  job_ = std::move(job);
  busy_ = true;
  job_start_ = Clock::now();
  // Runs shorter than the interval show nothing at all.
  if (!started_) last_draw_ = job_start_;
  started_ = true;
}

void Progress::update(uint64_t done, int64_t found, uint64_t steps_done) {
  if (!busy_) return;
  const Clock::time_point now = Clock::now();
  if (now - last_draw_ < kInterval) return;
  last_draw_ = now;
  const double seconds =
      std::chrono::duration<double>(now - job_start_).count();
  const std::string text =
      progress_text(job_, done, steps_done, found, seconds, stderr_columns());
  const std::size_t shown = characters(text);
  std::string out = "\r" + text;
  if (drawn_ > shown) out.append(drawn_ - shown, ' ');
  // Whatever standard output still holds for the terminal goes first, above
  // the line.
  if (shared_) std::fflush(stdout);
  write_stderr(out);
  drawn_ = std::max(shown, std::size_t{1});
}

void Progress::erase() {
  std::string out = "\r";
  out.append(drawn_, ' ');
  out += '\r';
  write_stderr(out);
  drawn_ = 0;
}

void Progress::end() {
  if (drawn_ > 0) erase();
  busy_ = false;
}

}  // namespace vexlo
