// Expected console lines of end-to-end tests.
#pragma once

#include <initializer_list>
#include <string>

#include "tests/sandbox.h"
#include "tests/tim_builder.h"

namespace vexlo::test {

inline const std::string kHead =
    "Vexlo version 1.1\n=================\nParsing 'vexlo.cfg'\n";
inline const std::string kNoOut =
    "No output base path specified in 'vexlo.cfg', no files will be "
    "written.\n";

inline std::string reading(const std::string& name, std::size_t n) {
  return "Reading " + name + " (" + std::to_string(n) + " bytes)...\n";
}

inline std::string report(std::size_t off, std::size_t size, int w, int h,
                          const std::string& mode) {
  return "TIM at byte " + std::to_string(off) + ", size of " +
         std::to_string(size) + "\n" + std::to_string(w) + "x" +
         std::to_string(h) + ", pixelmode: " + mode + "\n";
}

inline std::string total(int n) {
  return "A total of " + std::to_string(n) + " tim(s) found.\n";
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// A file holding one 320-byte TIM at offset 10: 430 bytes.
inline Bytes one_tim() { return embed(tim_4bit_32x16(), 10, 100); }

// The lines a tree search prints for a one_tim() file at `rel`.
inline std::string found_in(const Sandbox& box, const std::string& rel) {
  return reading(Sandbox::shown(box.path(rel)), 430) +
         report(10, 320, 32, 16, "4-bit CLUT");
}

}  // namespace vexlo::test
