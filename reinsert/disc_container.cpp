#include "reinsert/disc_container.h"

#include <cctype>
#include <new>

#include "disc/cue_sheet.h"
#include "disc/ecm.h"

namespace vexlo {

namespace {

// Where the file name in `path` starts and its extension's dot (or the end).
std::size_t name_start(const std::string& path) {
  const std::size_t cut = path.find_last_of("/\\:");
  return cut == std::string::npos ? 0 : cut + 1;
}
std::size_t extension_dot(const std::string& path) {
  const std::size_t dot = path.find_last_of('.');
  return dot == std::string::npos || dot < name_start(path) ? path.size() : dot;
}

}  // namespace

bool is_container(std::span<const uint8_t> file) {
  return pbp::is_pbp(file) || ecm::is_ecm(file);
}

std::string open_container(std::span<const uint8_t> file, int disc,
                           ContainerBin& out) {
  out = ContainerBin{};
  out.disc = disc;
  try {
    if (ecm::is_ecm(file)) {
      out.ecm = true;
      if (disc != 1) return "it has no disc " + std::to_string(disc);
      uint64_t size = 0;
      ecm::Outcome o = ecm::measure(file, &size);
      if (o == ecm::Outcome::kOk) {
        out.bin.resize(static_cast<std::size_t>(size));
        o = ecm::decode(file, out.bin);
      }
      if (o != ecm::Outcome::kOk) out.bin = {};
      return o == ecm::Outcome::kOk ? "" : ecm::outcome_text(o);
    }
    pbp::Image image;
    pbp::Refusal why = pbp::Refusal::kNone;
    if (!pbp::open_image(file, image, &why)) return pbp::refusal_text(why);
    if (disc < 1 || static_cast<std::size_t>(disc) > image.discs.size())
      return "it has no disc " + std::to_string(disc);
    out.layout = std::move(image.discs[static_cast<std::size_t>(disc - 1)]);
    out.bin.resize(static_cast<std::size_t>(out.layout.bin_size));
    if (!pbp::decode_disc(file, out.layout, 0, out.bin, out.damaged))
      throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
    out.bin = {};
    return "not enough memory to decode it";
  }
  return {};
}

std::string container_bin_name(const std::string& path, const ContainerBin& c) {
  const std::size_t dot = extension_dot(path);
  std::string ext = path.substr(dot);
  for (char& ch : ext)
    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (c.ecm) {
    // game.bin.ecm: the name the image had before it was packed.
    if (ext == ".ecm" && extension_dot(path.substr(0, dot)) < dot)
      return path.substr(0, dot);
    return path.substr(0, dot) + ".bin";
  }
  std::string stem = path.substr(0, dot);
  if (c.disc > 1) stem += "_disc" + std::to_string(c.disc);
  return stem + ".bin";
}

std::string container_cue_sheet(const ContainerBin& c,
                                std::span<const uint8_t> bin,
                                const std::string& bin_name) {
  if (c.ecm) return one_track_cue_sheet(bin_name, bin);
  return pbp::cue_sheet(c.layout, bin_name, bin);
}

}  // namespace vexlo
