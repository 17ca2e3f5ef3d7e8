// Runs the real vexlo binary in a fresh temporary directory, the way a user
// would: no arguments, vexlo.cfg in the current directory, in a new session
// with standard input from /dev/null (so the key wait returns -1) and a
// timeout.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/tim_builder.h"

namespace vexlo::test {

struct Outcome {
  std::string out;  // standard output, byte for byte
  int status = -1;  // exit status; 255 when the key wait found no console
};

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // The working directory of the run.
  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path path(const std::string& rel) const {
    return dir_ / rel;
  }

  void write(const std::string& rel, const Bytes& bytes) const;
  void write(const std::string& rel, const std::string& text) const;
  void config(const std::string& text) const { write("vexlo.cfg", text); }
  Bytes read(const std::string& rel) const;
  bool exists(const std::string& rel) const;
  // Names of the regular files directly in `rel`, sorted.
  std::vector<std::string> files(const std::string& rel = ".") const;

  // Runs vexlo here. `prefix` goes before the command inside the shell
  // (e.g. "ulimit -v 200000;").
  Outcome run(const std::string& prefix = "") const;

#ifdef VEXLO_SANITIZED
  static constexpr bool kSanitized = true;
#else
  static constexpr bool kSanitized = false;
#endif

  // A shell prefix for run() that caps the run's memory at `megabytes`: the
  // address space, or in sanitizer builds, whose shadow memory needs
  // terabytes of it, the largest single allocation.
  static std::string memory_limit(long megabytes);

  // True when the suite drives the Windows build (VEXLO_WINE=1).
  static bool windows_build();

  // How the program shows the absolute path `p` in its messages.
  static std::string shown(const std::filesystem::path& p);

 private:
  std::filesystem::path root_;
  std::filesystem::path dir_;
};

// Test data shipped in the repo (tests/data).
std::filesystem::path data_path(const std::string& rel);
Bytes read_file(const std::filesystem::path& p);

}  // namespace vexlo::test
