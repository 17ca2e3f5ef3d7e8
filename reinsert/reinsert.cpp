#include "reinsert/reinsert.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/reader.h"
#include "convert/picture.h"
#include "extract/images.h"
#ifdef VEXLO_CHD
#include "disc/chd.h"
#endif
#include "disc/disc_image.h"
#include "disc/edc_ecc.h"
#include "disc/holes.h"
#include "disc/pbp.h"
#include "disc/stream.h"
#include "packed/encode.h"
#include "packed/packed.h"
#include "platform/dir_list.h"
#include "platform/failures.h"
#include "platform/file_ops.h"
#include "platform/input_file.h"
#include "platform/output_file.h"
#include "platform/path.h"
#include "platform/progress.h"
#include "reinsert/disc_container.h"
#include "reinsert/ppf.h"
#include "reinsert/to_tim.h"
#include "tim/tim.h"

namespace vexlo {

namespace {

using Bytes = std::vector<uint8_t>;

// Changed bytes are gathered in blocks of one raw sector (of the image's
// sector size), aligned from the start of the file, so that a disc image's
// sectors can be finished whole.

LoadStatus load_status(const std::string& path, InputData& data) {
  InputFile file = open_input(path);
  uint8_t head[4];
  // A PBP is patched disc by disc: only each disc's BIN must fit.
  const bool pbp = file.status == LoadStatus::kTooLarge &&
                   read_head(file, head) && pbp::is_pbp(head);
  if (file.status != LoadStatus::kLoaded && !pbp) {
    if (file.status == LoadStatus::kTooLarge) close_input(file);
    return file.status;
  }
  return read_input(file, data);
}

bool load(const std::string& path, InputData& data) {
  return load_status(path, data) == LoadStatus::kLoaded;
}

// Why the input `path` could not be loaded (`status`), for a row's line.
std::string load_failure(const std::string& path, LoadStatus status) {
  std::string why;
  if (status == LoadStatus::kTooLarge)
    why = "it is larger than 2147483647 bytes";
  else if (status == LoadStatus::kNoMemory)
    why = "not enough memory to load it";
  else
    why = unreadable_reason(path);
  if (why.empty()) why = "it cannot be opened";
  return path + " can't be read: " + why;
}

// One file the row's TIM may come back from.
struct Source {
  std::string name;  // as the catalogue gives it (a _pal name built from it)
  std::string path;  // from the run's folder
  enum Kind { kPng, kBmp, kTim } kind;
  int32_t row = 0;  // CLUT row it shows
};

// The input file being patched, with every change made to it so far.
struct Patched {
  std::string file;
  InputData data;
  bool loaded = false;
  // A CHD: its BIN, decoded whole, is what the rows and the copy are of;
  // `unreadable` says why it could not be decoded. The BIN bytes of its
  // damaged hunks (zeros in `bin`) are `holes`, hole i of hunk damaged[i].
  bool chd = false;
  Bytes bin;
  std::string unreadable;
#ifdef VEXLO_CHD
  chd::Image chd_image;  // for the cue sheet beside the copy
#endif
  std::vector<uint32_t> damaged;
  StreamHoles holes;
  // A PBP's disc (the rows' disc, `disc`) or an ECM: as a CHD, its BIN is
  // in `bin`; damaged are blocks. `container` keeps what its cue sheet needs.
  bool packed_disc = false;
  int disc = 0;
  ContainerBin container;
  // A raw image of `format` (when its rows give sectors), whose changed
  // sectors get EDC/ECC anew; blocks are its sectors.
  bool image = false;
  SectorFormat format = SectorFormat::k2352;
  uint64_t block = kRawSectorSize;
  bool raw = false;
  std::map<uint64_t, Bytes> blocks;  // block index -> its new bytes
  int32_t changed = 0;
  // The packed streams done: offset and scheme.
  std::set<std::pair<int32_t, std::string>> streams;
  // The input bytes of each stream packed again, which no other row may
  // change: [begin, end), and the row that names the stream.
  struct Repacked {
    uint64_t begin, end;
    const CatalogueRow* row;
  };
  std::vector<Repacked> repacked;

  std::span<const uint8_t> bytes() const {
    return chd || packed_disc ? std::span<const uint8_t>(bin) : data.bytes();
  }

  void put(uint64_t at, std::span<const uint8_t> src) {
    const std::span<const uint8_t> original = bytes();
    while (!src.empty()) {
      const uint64_t index = at / block, in = at % block;
      auto [it, fresh] = blocks.try_emplace(index);
      if (fresh) {
        const uint64_t start = index * block;
        const uint64_t end = std::min<uint64_t>(start + block, original.size());
        it->second.assign(original.begin() + start, original.begin() + end);
      }
      const std::size_t n = static_cast<std::size_t>(
          std::min<uint64_t>(src.size(), it->second.size() - in));
      std::copy(src.begin(), src.begin() + n, it->second.begin() + in);
      src = src.subspan(n);
      at += n;
    }
  }
};

// The TIM a row names, found again in its input.
struct Found {
  Examined examined;
  uint64_t image_pos = 0;
  // The TIM's bytes as far as its size and pixels reach.
  Bytes bytes;
  // In a raw image: the data sectors the TIM may cover; the TIM lies at
  // `pos` of their stream (of the file without them).
  DiscMap map;
  std::size_t pos = 0;
};

// The data stream a row's offset (or sector) lies in, read as far as
// `reach` bytes past the start of the row's sector; sets f.map and f.pos.
std::optional<DataStream> row_stream(Patched& t, const CatalogueRow& row,
                                     uint64_t reach, Found& f) {
  const std::span<const uint8_t> file = t.bytes();
  if (row.sector) {
    const uint64_t first = *row.sector;
    if (!t.image || row.sector_offset >= kSectorDataSize) return std::nullopt;
    t.raw = true;
    DiscMap& map = f.map;
    map.sector_size = t.block;
    map.whole_sectors = file.size() / t.block;
    if (first < map.whole_sectors)
      walk_sectors(file, 0, t.format, first, map.whole_sectors,
                   [&](std::size_t, std::size_t data) {
                     map.segment_start.push_back(static_cast<uint32_t>(data));
                     return map.stream_size() < reach;
                   });
    // The row's own sector must hold data.
    if (map.segment_start.empty() ||
        map.segment_start.front() / t.block != first ||
        raw_offset(map, row.sector_offset) != static_cast<uint64_t>(row.offset))
      return std::nullopt;
    f.pos = row.sector_offset;
    return DataStream::in_image(file, map);
  }
  if (row.offset < 0 || static_cast<uint64_t>(row.offset) >= file.size())
    return std::nullopt;
  f.pos = static_cast<std::size_t>(row.offset);
  return DataStream::plain(file);
}

// Whether `stream` holds at f.pos the TIM the row describes; fills in the
// rest of `f`.
bool examine_row(const DataStream& stream, const CatalogueRow& row, Found& f) {
  const uint64_t avail = stream.size() - f.pos;
  Bytes buffer;
  auto read = [&](uint64_t at, std::size_t n) -> const uint8_t* {
    buffer.resize(n);
    stream.copy(f.pos + static_cast<std::size_t>(at), buffer);
    return buffer.data();
  };
  const ExamineOptions loose{.looseflags = true};
  std::optional<Examined> e = examine_tim(read, avail, loose, &f.image_pos);
  if (!e || static_cast<int32_t>(e->total) != row.size ||
      row.mode != kModeNames[e->info.mode] ||
      e->info.bits_per_pixel != row.bpp || e->info.width != row.width ||
      e->info.height != row.height)
    return false;
  // As much as the outputs of the scan read.
  f.bytes.resize(static_cast<std::size_t>(tim_reach(*e, f.image_pos, avail)));
  stream.copy(f.pos, f.bytes);
  f.examined = *e;
  attach_blocks(f.examined.info, f.bytes, f.image_pos);
  return true;
}

std::optional<Found> find_tim(Patched& t, const CatalogueRow& row) {
  if (row.sector && (row.width <= 0 || row.height <= 0)) return std::nullopt;
  // In a raw image, only as far as the TIM can reach (its size, its pixels,
  // headers), so that a large image is not read through for a few TIMs.
  const uint64_t reach = uint64_t{static_cast<uint32_t>(row.size)} +
                         3 * uint64_t(row.width) * uint64_t(row.height) + 64 +
                         row.sector_offset;
  Found f;
  const std::optional<DataStream> stream = row_stream(t, row, reach, f);
  if (!stream || !examine_row(*stream, row, f)) return std::nullopt;
  return f;
}

// Each TIM byte goes back to its place in the file through the stream.
// Calls piece(input offset, stream offset, bytes) for each piece of the
// `n` bytes at f.pos of the row's stream, in order.
template <typename Piece>
void pieces_of(const Patched& t, const Found& f, std::size_t n, Piece piece) {
  const std::span<const uint8_t> file = t.bytes();
  const DataStream stream = f.map.segment_start.empty()
                                ? DataStream::plain(file)
                                : DataStream::in_image(file, f.map);
  stream.pieces(f.pos, n, piece);
}

void put_tim(Patched& t, const Found& f, const Bytes& tim) {
  pieces_of(t, f, tim.size(), [&](uint64_t at, std::size_t pos, std::size_t n) {
    t.put(at, std::span(tim).subspan(pos - f.pos, n));
  });
}

// The stream packed again whose old bytes the `n` bytes at f.pos touch.
const Patched::Repacked* in_repacked(const Patched& t, const Found& f,
                                     std::size_t n) {
  const Patched::Repacked* hit = nullptr;
  if (t.repacked.empty()) return hit;
  pieces_of(t, f, n, [&](uint64_t at, std::size_t, std::size_t k) {
    for (const Patched::Repacked& r : t.repacked)
      if (at < r.end && r.begin < at + k) hit = &r;
  });
  return hit;
}

// Applies one source to `tim`; empty or why not.
std::string apply_source(const Source& s, Bytes& tim, uint32_t total,
                         bool keep_indices, Edit* edit = nullptr) {
  InputData data;
  if (!load(s.path, data)) {
    note_failure();
    return s.name + " cannot be read";
  }
  if (s.kind == Source::kTim)
    return apply_tim_file(tim, total, data.bytes(), s.name);
  const std::optional<Examined> found =
      examine_offset(tim, 0, ExamineOptions{.looseflags = true});
  if (!found) return "the TIM cannot be read";
  const TimInfo& info = found->info;
  Picture pic;
  const std::string why =
      read_picture(data.bytes(), static_cast<uint32_t>(info.width),
                   static_cast<uint32_t>(info.height), pic);
  if (!why.empty()) return s.name + " " + why;
  return apply_picture(tim, pic, s.row,
                       s.kind == Source::kPng ? Target::kPng : Target::kBitmap,
                       keep_indices, s.name, edit);
}

struct Outcome {
  Bytes tim;           // the TIM's new bytes
  std::string source;  // the first edited source
  std::string refusal;
};

// Every source of a row against the TIM it holds now.
Outcome edit_row(const std::vector<Source>& sources, const Found& f) {
  const Bytes& now = f.bytes;
  Outcome out{now, {}, {}};
  const std::string* first_main = nullptr;
  for (const Source& s : sources) {
    Bytes tim = now;
    Edit edit = Edit::kPixels;
    std::string why = apply_source(s, tim, f.examined.total, false, &edit);
    if (!why.empty()) return {{}, {}, why};
    if (tim == now) continue;  // unedited, whatever its bytes
    if (out.source.empty()) out.source = s.name;
    // A _pal image that only shows its row's colours edits pixels, as the
    // main picture does.
    const bool pal = s.row > 0 && edit == Edit::kPalette;
    if (!pal) {
      if (first_main && tim != out.tim)
        return {{}, {}, *first_main + " and " + s.name + " disagree"};
      first_main = &s.name;
      out.tim = std::move(tim);
      continue;
    }
    // A palette image changes its CLUT row; its pixels must show the
    // indices the TIM ends up with.
    why = apply_source(s, out.tim, f.examined.total, true);
    if (!why.empty()) return {{}, {}, why};
  }
  return out;
}

// The names of one input's outputs: the copy, with a CHD's copy (the BIN) a
// cue sheet, and the patch.
struct OutputNames {
  std::string copy, cue, ppf;
};

// The copy is `outname` and the file's name; when this run's outputs hold it
// (or the cue sheet's name), `_2`, `_3` ... go before its extension, the
// same in every name.
OutputNames output_names(const std::string& outname, const std::string& file,
                         bool cue, std::set<std::string>& taken) {
  const std::string base = outname + file.substr(folder_end(file));
  const std::size_t slash = folder_end(base);
  std::size_t dot = base.find_last_of('.');
  if (dot == std::string::npos || dot < slash) dot = base.size();
  for (int k = 1;; ++k) {
    std::string stem = base.substr(0, dot);
    if (k > 1) stem.append("_").append(std::to_string(k));
    OutputNames n{stem + base.substr(dot), cue ? stem + ".cue" : "", ""};
    n.ppf = n.copy + ".ppf";
    if (taken.count(n.copy) != 0 || (cue && taken.count(n.cue) != 0)) continue;
    taken.insert(n.copy);
    if (cue) taken.insert(n.cue);
    return n;
  }
}

struct RunState {
  Run& run;
  std::string catalogue;
  OutputGuard keep{kTextMax};  // inputs, the catalogue, sources, copies
  std::set<std::string> taken;
  int32_t total = 0;
};

// Writes the copy and the patch of one input, or says which could not be
// written and leaves neither.
void write_target(RunState& rs, Patched& t) {
  const std::span<const uint8_t> file = t.bytes();
  std::vector<PatchRun> runs;
  std::vector<FilePatch> patches;
  for (auto& [index, block] : t.blocks) {
    const uint64_t at = index * t.block;
    const std::span<const uint8_t> before = file.subspan(at, block.size());
    if (std::equal(block.begin(), block.end(), before.begin())) continue;
    // A changed data sector gets its codes anew; no other sector changes.
    if (t.raw) rebuild_sector_codes(block, t.format);
    runs.push_back({at, Bytes(before.begin(), before.end()), block});
  }
  for (const PatchRun& r : runs) patches.push_back({r.offset, r.after});
  // A CHD's, PBP's or ECM's copy is the BIN it holds, with the edits, and
  // its cue sheet.
  const bool held = t.chd || t.packed_disc;
  std::string from = t.file;
  if (t.packed_disc) {
    from = container_bin_name(t.file, t.container);
  } else if (t.chd) {
    const std::size_t dot = from.find_last_of('.');
    if (dot != std::string::npos && dot >= folder_end(from)) from.resize(dot);
    from += ".bin";
  }
  const OutputNames names =
      output_names(rs.run.settings.outname, from, held, rs.taken);
  // A copy of a CHD with a damaged hunk (a PBP's disc with a damaged block)
  // would hold zeros for its bytes.
  if (!t.damaged.empty()) {
    std::printf("Could not write %s\n", names.copy.c_str());
    note_failure();
    return;
  }
  const std::string shown = rs.catalogue.substr(folder_end(rs.catalogue));
  const Bytes patch =
      ppf_patch("Vexlo: " + std::to_string(t.changed) + " tim(s) from " + shown,
                file.size() >= kPpfBlockAt + kPpfBlockSize
                    ? file.subspan(kPpfBlockAt, kPpfBlockSize)
                    : std::span<const uint8_t>(),
                runs);
  std::vector<std::string> written;
  auto fail = [&](const std::string& name) {
    std::printf("Could not write %s\n", name.c_str());
    note_failure();
    for (const std::string& w : written) remove_file(w);
  };
  auto wrote = [&](const std::string& name, const FileId& id) {
    rs.keep.protect(id);
    written.push_back(name);
  };
  FileId id;
  bool ok = false;
  if (rs.keep.may_create(names.copy)) {
    if (held) {
      for (const FilePatch& p : patches)
        std::copy(p.bytes.begin(), p.bytes.end(), t.bin.begin() + p.offset);
      ok = create_and_write(names.copy, t.bin, &id);
    } else {
      ok = copy_with_patches(t.file, names.copy, patches, &id);
    }
  }
  if (!ok) return fail(names.copy);
  wrote(names.copy, id);
  if (held) {
    const std::string bin_name = names.copy.substr(folder_end(names.copy));
#ifdef VEXLO_CHD
    const std::string text =
        t.chd ? chd::cue_sheet(t.chd_image, bin_name)
              : container_cue_sheet(t.container, t.bin, bin_name);
#else
    const std::string text = container_cue_sheet(t.container, t.bin, bin_name);
#endif
    if (!rs.keep.may_create(names.cue) ||
        !create_and_write(
            names.cue,
            std::span(reinterpret_cast<const uint8_t*>(text.data()),
                      text.size()),
            &id))
      return fail(names.cue);
    wrote(names.cue, id);
  }
  if (!rs.keep.may_create(names.ppf) ||
      !create_and_write(names.ppf, patch, &id))
    return fail(names.ppf);
  wrote(names.ppf, id);
  if (held)
    std::printf("Wrote %s, %s and %s (%i tim(s) patched).\n",
                names.copy.c_str(), names.cue.c_str(), names.ppf.c_str(),
                t.changed);
  else
    std::printf("Wrote %s and %s (%i tim(s) patched).\n", names.copy.c_str(),
                names.ppf.c_str(), t.changed);
  rs.total += t.changed;
}

// When `t` is a CHD, decodes the BIN it holds into t.bin (on every core),
// or says why not.
void open_chd(Patched& t) {
  const std::span<const uint8_t> file = t.data.bytes();
  const std::span<const uint8_t> head =
      file.first(std::min<std::size_t>(file.size(), 8));
  if (std::string_view(reinterpret_cast<const char*>(head.data()),
                       head.size()) != "MComprHD")
    return;
#ifdef VEXLO_CHD
  chd::Image image;
  const std::string why = chd::open_chd(file, image);
  if (!why.empty()) {
    t.unreadable = t.file + " can't be read: " + why;
    return;
  }
  chd::DecodeOptions options;
  const InputData& data = t.data;
  options.reader = [&data](uint64_t at, std::size_t n, uint8_t* out) {
    return data.read_at(static_cast<std::size_t>(at), out, n);
  };
  if (!chd::decode_bin(file, image, options, t.bin, t.damaged)) {
    t.unreadable = t.file + " is too large to decode in memory";
    return;
  }
  for (uint32_t n : t.damaged) {
    const chd::BinRange r = chd::hunk_bin_range(image, n);
    t.holes.add(r.begin, r.end);
  }
  t.chd_image = std::move(image);
  t.chd = true;
#else
  t.unreadable = t.file + " is a CHD image, which this build does not read";
#endif
}

// When `t` is a PBP or an ECM, decodes the BIN of disc `disc` it holds
// into t.bin (on every core), or says why not.
void open_packed_disc(Patched& t, int disc) {
  const std::span<const uint8_t> file = t.data.bytes();
  if (!is_container(file)) return;
  const std::string why = open_container(file, disc, t.container);
  if (!why.empty()) {
    t.unreadable = t.file + " can't be read: " + why;
    return;
  }
  t.bin = std::move(t.container.bin);
  t.damaged = t.container.damaged;
  for (uint32_t n : t.damaged) {
    const uint64_t at = uint64_t{n} * pbp::kBlockBytes;
    t.holes.add(at, at + pbp::block_bin_bytes(t.container.layout, n));
  }
  t.packed_disc = true;
}

// The damaged hunk of a CHD that the TIM of `row` would take bytes from:
// its place in t.damaged, or -1. In a raw image the TIM's bytes run through
// the data of the sectors from its own on, as far as its size.
int64_t damaged_under(const Patched& t, const CatalogueRow& row) {
  const std::span<const uint8_t> file = t.bytes();
  if (t.holes.empty() || row.offset < 0) return -1;
  const uint64_t size = static_cast<uint32_t>(std::max(row.size, 1));
  if (!row.sector || !t.image) {
    const uint64_t at = static_cast<uint64_t>(row.offset);
    return t.holes.first_touched(at, at + size);
  }
  uint64_t need = row.sector_offset + size;
  for (uint64_t at = *row.sector * t.block;
       need > 0 && at < file.size() && file.size() - at >= t.block;
       at += t.block) {
    const int64_t h = t.holes.first_touched(at, at + t.block);
    if (h >= 0) return h;
    if (sector_data_start(file.subspan(at, t.block), t.format) != 0)
      need -= std::min<uint64_t>(need, kSectorDataSize);
  }
  return -1;
}

std::vector<Source> sources_of(const CatalogueRow& row,
                               const std::string& folder,
                               int32_t clut_rows_now) {
  std::vector<Source> out;
  auto add = [&](const std::string& name, Source::Kind kind, int32_t r) {
    if (name.empty()) return;
    const std::string path = folder + name;
    FileId id;
    if (file_id_of(path, &id)) out.push_back({name, path, kind, r});
  };
  add(row.png, Source::kPng, 0);
  add(row.bmp, Source::kBmp, 0);
  add(row.tim, Source::kTim, 0);
  for (int32_t r = 1; r < clut_rows_now; ++r) {
    // Image names end in a four-character extension.
    if (row.png.size() > 4) add(palette_name(row.png, r), Source::kPng, r);
    if (row.bmp.size() > 4) add(palette_name(row.bmp, r), Source::kBmp, r);
  }
  return out;
}

// A row changed earlier in the run: its TIM's bytes before and after.
struct Done {
  Bytes before, after;
  std::string source;
};

// No stream of at most 16 MiB packs into more than this, as a scan reads it.
constexpr uint64_t kStreamReach = uint64_t{32} << 20;

// The packed stream a row's offset (or sector) places, opened again; its
// `where` says how its bytes map into the input.
struct StreamFound {
  PackedStream stream;
  Found where;
};

std::optional<StreamFound> find_stream(Patched& t, const CatalogueRow& row) {
  StreamFound s;
  const std::optional<DataStream> stream =
      row_stream(t, row, kStreamReach + row.sector_offset, s.where);
  if (!stream) return std::nullopt;
  std::optional<PackedStream> opened;
  if (stream->contiguous()) {
    opened = open_packed(stream->bytes(), s.where.pos);
  } else {
    Bytes bytes(static_cast<std::size_t>(
        std::min<uint64_t>(stream->size() - s.where.pos, kStreamReach)));
    stream->copy(s.where.pos, bytes);
    opened = open_packed(bytes, 0);
  }
  if (!opened || packed_scheme_name(opened->scheme) != row.packed)
    return std::nullopt;
  s.stream = std::move(*opened);
  return s;
}

// The rows of one packed stream (`group`, in catalogue order): every edit is
// made in its unpacked bytes, which are then packed again and written over
// the old stream when they fit. Each row's line comes in the group's order.
void reinsert_stream(Patched& t, const std::vector<const CatalogueRow*>& group,
                     const std::string& folder, std::map<int32_t, Done>& done) {
  const CatalogueRow& head = *group.front();
  std::optional<StreamFound> s;
  if (t.unreadable.empty()) s = find_stream(t, head);
  Bytes work = s ? s->stream.unpacked : Bytes();
  struct Edit {
    const CatalogueRow* row;
    std::size_t line;
    Done done;
  };
  std::vector<Edit> edits;
  std::vector<std::string> lines;
  auto line = [](const CatalogueRow& row, const std::string& text) {
    return "TIM " + std::to_string(row.number) + " at byte " +
           std::to_string(row.offset) + ": " + text + "\n";
  };
  auto say = [&](const CatalogueRow& row, const std::string& text) {
    lines.push_back(line(row, text));
  };
  const std::string stream_at = " data at byte " + std::to_string(head.offset);
  for (const CatalogueRow* rp : group) {
    const CatalogueRow& row = *rp;
    std::optional<Found> f;
    if (s && row.packed_offset < s->stream.unpacked.size()) {
      f.emplace();
      f->pos = row.packed_offset;
      if (!examine_row(DataStream::plain(s->stream.unpacked), row, *f))
        f.reset();
    }
    const std::vector<Source> sources =
        sources_of(row, folder, f ? clut_rows(f->examined.info) : 0);
    const Done* same = nullptr;
    if (row.duplicate_of) {
      const auto it = done.find(*row.duplicate_of);
      if (it != done.end()) same = &it->second;
      // Or a TIM of this stream edited a row ago.
      for (const Edit& e : edits)
        if (e.row->number == *row.duplicate_of) same = &e.done;
    }
    if (!t.unreadable.empty()) note_failure();
    if (sources.empty() && !same) continue;
    if (!t.unreadable.empty()) {
      say(row, t.unreadable);
      continue;
    }
    if (!s) {
      say(row,
          "no " + row.packed + stream_at + " of " + row.file + " any more");
      continue;
    }
    if (!f) {
      say(row, "no TIM of " + row.mode + " " + std::to_string(row.width) + "x" +
                   std::to_string(row.height) + " at byte " +
                   std::to_string(row.packed_offset) + " in " + row.packed +
                   stream_at + " of " + row.file + " any more");
      continue;
    }
    Outcome out = edit_row(sources, *f);
    if (!out.refusal.empty()) {
      say(row, out.refusal);
      continue;
    }
    if (out.source.empty() && same) {
      if (same->before != f->bytes) {
        say(row, "it differs from TIM " + std::to_string(*row.duplicate_of) +
                     " it repeats");
        continue;
      }
      out = {same->after, same->source, {}};
    }
    if (out.source.empty()) continue;
    std::copy(out.tim.begin(), out.tim.end(),
              work.begin() + static_cast<std::ptrdiff_t>(row.packed_offset));
    edits.push_back(
        {&row, lines.size(), {f->bytes, std::move(out.tim), out.source}});
    lines.emplace_back();
  }
  if (!edits.empty()) {
    const std::size_t old_size = s->stream.end - s->stream.offset;
    const std::optional<PackedBytes> packed = repack(s->stream, work);
    std::string refusal;
    if (!packed) {
      refusal = "packed " + head.packed + stream_at + " cannot be packed again";
    } else if (packed->size() > old_size) {
      refusal = "packed " + head.packed + stream_at + " would grow from " +
                std::to_string(old_size) + " to " +
                std::to_string(packed->size()) + " bytes";
    } else {
      // The new stream, then zeros to the old one's end.
      Bytes bytes = *packed;
      bytes.resize(old_size, 0);
      put_tim(t, s->where, bytes);
      pieces_of(t, s->where, old_size,
                [&](uint64_t at, std::size_t, std::size_t n) {
                  t.repacked.push_back({at, at + n, &head});
                });
    }
    for (Edit& e : edits) {
      lines[e.line] = line(
          *e.row, refusal.empty() ? "patched from " + e.done.source : refusal);
      if (!refusal.empty()) continue;
      ++t.changed;
      done[e.row->number] = std::move(e.done);
    }
  }
  if (!lines.empty()) Progress::line().clear();
  for (const std::string& text : lines) std::fputs(text.c_str(), stdout);
}

}  // namespace

int32_t reinsert(Run& run) {
  RunState rs{run, run.settings.reinsert, OutputGuard(kTextMax), {}, 0};
  const bool dry = run.settings.outname.empty();
  std::printf("Reinserting from %s\n", rs.catalogue.c_str());
  std::vector<CatalogueRow> rows;
  std::string why = "it cannot be read";
  {
    // Released before the rows: only one file at a time is mapped in place
    // (the others are read), and that should be the input.
    InputData text;
    if (load(rs.catalogue, text)) {
      const std::span<const uint8_t> b = text.bytes();
      why = read_catalogue(
          std::string_view(reinterpret_cast<const char*>(b.data()), b.size()),
          rows);
    }
  }
  if (!why.empty()) {
    std::printf("Can't reinsert from %s: %s.\n", rs.catalogue.c_str(),
                why.c_str());
    note_failure();
    return 0;
  }
  const std::string folder = rs.catalogue.substr(0, folder_end(rs.catalogue));
  // No copy or patch may replace an input, the catalogue or a source.
  FileId id;
  if (file_id_of(rs.catalogue, &id)) rs.keep.protect(id);
  for (const CatalogueRow& row : rows) {
    if (file_id_of(row.file, &id)) rs.keep.protect(id);
    for (const std::string* name : {&row.png, &row.bmp, &row.tim})
      if (!name->empty() && file_id_of(folder + *name, &id))
        rs.keep.protect(id);
    // And the _pal images, as far as a real CLUT's rows go.
    for (uint32_t r = 1; r < std::min<uint32_t>(row.palettes, 256); ++r)
      for (const std::string* name : {&row.png, &row.bmp})
        if (name->size() > 4 &&
            file_id_of(folder + palette_name(*name, static_cast<int32_t>(r)),
                       &id))
          rs.keep.protect(id);
  }

  std::map<int32_t, Done> done;  // changed rows by number
  Patched t;
  // The status line goes away before each line printed below and comes
  // back at the next row.
  Progress& line = Progress::line();
  if (line.on())
    line.begin({.what = "Reinserting from " + rs.catalogue,
                .total = rows.size(),
                .unit = ProgressJob::Unit::kRows,
                .found_name = "patched"});
  auto finish = [&] {
    line.clear();
    if (t.changed > 0) {
      if (dry)
        rs.total += t.changed;
      else
        write_target(rs, t);
    }
    t = Patched{};
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const CatalogueRow& row = rows[i];
    line.update(i, rs.total + t.changed);
    // The discs of a PBP are patched one at a time, each its own copy.
    const int disc = row.disc.value_or(1);
    if (t.loaded && (row.file != t.file || disc != t.disc)) finish();
    if (!t.loaded) {
      t.file = row.file;
      t.disc = disc;
      t.loaded = true;
      const LoadStatus status = load_status(row.file, t.data);
      if (status != LoadStatus::kLoaded) {
        t.data = InputData{};
        t.unreadable = load_failure(row.file, status);
        note_failure();
      }
      open_chd(t);
      if (!t.chd && t.unreadable.empty()) open_packed_disc(t, disc);
      t.image = probe_disc_image(t.bytes(), &t.format);
#ifdef VEXLO_CHD
      // A CHD's layout is its metadata's, whatever its first hunk holds.
      if (t.chd) {
        const chd::BinLayout layout = chd::bin_layout(t.chd_image);
        t.image = layout.raw;
        t.format = layout.format;
      }
#endif
      if (t.image) t.block = sector_size(t.format);
    }
    if (!row.packed.empty()) {
      // All rows of the stream at once, at its first row.
      if (!t.streams.insert({row.offset, row.packed}).second) continue;
      std::vector<const CatalogueRow*> group;
      for (std::size_t j = i; j < rows.size() && rows[j].file == row.file &&
                              rows[j].disc.value_or(1) == disc;
           ++j)
        if (rows[j].packed == row.packed && rows[j].offset == row.offset)
          group.push_back(&rows[j]);
      reinsert_stream(t, group, folder, done);
      continue;
    }
    const std::optional<Found> f = find_tim(t, row);
    const std::vector<Source> sources =
        sources_of(row, folder, f ? clut_rows(f->examined.info) : 0);
    const Done* same = nullptr;
    if (row.duplicate_of) {
      const auto it = done.find(*row.duplicate_of);
      if (it != done.end()) same = &it->second;
    }
    if (!t.unreadable.empty()) {
      note_failure();
      if (!sources.empty() || same) {
        line.clear();
        std::printf("TIM %i at byte %i: %s\n", row.number, row.offset,
                    t.unreadable.c_str());
      }
      continue;
    }
    if (const int64_t h = damaged_under(t, row); h >= 0) {
      note_failure();
      if (!sources.empty() || same) {
        line.clear();
        std::printf("TIM %i at byte %i: %s can't be read: %s %i is damaged\n",
                    row.number, row.offset, t.file.c_str(),
                    t.packed_disc ? "block" : "hunk",
                    static_cast<int>(t.damaged[static_cast<std::size_t>(h)]));
      }
      continue;
    }
    if (!f) {
      if (!sources.empty() || same) {
        line.clear();
        std::printf(
            "TIM %i at byte %i: no TIM of %s %ix%i at byte %i of %s "
            "any more\n",
            row.number, row.offset, row.mode.c_str(), row.width, row.height,
            row.offset, row.file.c_str());
      }
      continue;
    }
    Outcome out = edit_row(sources, *f);
    if (!out.refusal.empty()) {
      line.clear();
      std::printf("TIM %i at byte %i: %s\n", row.number, row.offset,
                  out.refusal.c_str());
      continue;
    }
    if (out.source.empty() && same) {
      // A repeat of an edited TIM gets the same edit.
      if (same->before != f->bytes) {
        line.clear();
        std::printf("TIM %i at byte %i: it differs from TIM %i it repeats\n",
                    row.number, row.offset, *row.duplicate_of);
        continue;
      }
      out = {same->after, same->source, {}};
    }
    if (out.source.empty()) continue;
    // A TIM stored as it is in a stream's packed bytes: they were packed
    // anew, and its bytes are not there any more.
    if (const Patched::Repacked* r = in_repacked(t, *f, out.tim.size())) {
      std::printf(
          "TIM %i at byte %i: it lies in %s data at byte %i, which was packed "
          "again\n",
          row.number, row.offset, r->row->packed.c_str(), r->row->offset);
      continue;
    }
    put_tim(t, *f, out.tim);
    ++t.changed;
    line.clear();
    std::printf("TIM %i at byte %i: patched from %s\n", row.number, row.offset,
                out.source.c_str());
    done[row.number] = {f->bytes, std::move(out.tim), out.source};
  }
  finish();
  line.end();
  return rs.total;
}

}  // namespace vexlo
