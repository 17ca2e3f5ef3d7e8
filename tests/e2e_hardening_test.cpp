// End-to-end: hostile inputs, memory bounds, failing output and hostile
// trees. The binary must end, stay within a small memory bound, never block,
// and never lose output without saying so.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

namespace fs = std::filesystem;

// These cases pin down the Linux build: FIFOs, device nodes, rlimits and
// byte-string names. The Windows build has its own rules for them (its
// device names, its UTF-16 names) and its own tests.
class Hardening : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Sandbox::windows_build())
      GTEST_SKIP() << "POSIX file-system cases; not run against the Windows "
                      "build";
  }
};

const std::string kPixelsPastEnd =
    "Can't write bitmap - pixel data runs past the end of the file.\n";

Bytes head(const Bytes& b, std::size_t n) {
  return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
}

Bytes tim15(uint16_t w, uint16_t h) {
  TimLayout s{.flags = 0x02, .w = w, .h = h};
  for (uint32_t i = 0; i < 2u * w * h; ++i)
    s.pixels.push_back(static_cast<uint8_t>(i * 7));
  return make_tim(s);
}

// ---------------------------------------------------------------------------
// Resource bounds: headers that claim far more than the file holds.

struct Claim {
  const char* name;
  Bytes tim;
  std::string reports;  // what follows the Reading line, before the total
  int counted;
};

TEST_F(Hardening, HugeClaimsStayWithinASmallMemoryBound) {
  TimLayout big15;  // 65535 x 65535 pixels in a few bytes
  big15.flags = 0x02;
  big15.w = big15.h = 65535;
  big15.pixels.assign(40, 0x11);
  TimLayout mid15 = big15;  // a bitmap of 192 MB: fits 32 bits, not the bound
  mid15.w = mid15.h = 8000;
  TimLayout big4 = big15;
  big4.flags = 0x08;
  TimLayout big24 = big15;
  big24.flags = 0x03;
  TimLayout rows4;  // a CLUT of 65535 rows
  rows4.flags = 0x08;
  rows4.clut_len = 65535 * 32 + 12;
  rows4.clut_h = 65535;
  TimLayout rows8 = rows4;
  rows8.flags = 0x09;
  rows8.clut_len = 65535 * 512 + 12;
  TimLayout wrap7;  // 8 + 0xFFFFFFFF wraps to 7
  wrap7.flags = 0x02;
  wrap7.w = wrap7.h = 2;
  wrap7.image_len = 0xFFFFFFFFu;
  wrap7.pixels.assign(8, 0x22);
  TimLayout wrap0;  // 8 + 44 + 0xFFFFFFCC wraps to exactly 0
  wrap0.flags = 0x08;
  wrap0.w = 8;
  wrap0.h = 16;
  wrap0.image_len = 0xFFFFFFCCu;
  wrap0.pixels.assign(256, 0x33);

  const Claim claims[] = {
      {"15bit_65535x65535", make_tim(big15),
       report(0, 60, 65535, 65535, "15-bit direct") + kPixelsPastEnd, 1},
      {"15bit_8000x8000", make_tim(mid15),
       report(0, 60, 8000, 8000, "15-bit direct") + kPixelsPastEnd, 1},
      {"4bit_65532x65535", make_tim(big4),
       report(0, 104, 65532, 65535, "4-bit CLUT") + kPixelsPastEnd, 1},
      {"24bit_43690x65535", make_tim(big24),
       report(0, 60, 43690, 65535, "24-bit direct") + kPixelsPastEnd, 1},
      // Claimed CLUTs larger than the file: never accepted.
      {"clut_65535_rows_4bit", head(make_tim(rows4), 600), "", 0},
      {"clut_65535_rows_8bit", head(make_tim(rows8), 600), "", 0},
      {"total_wraps_to_7", make_tim(wrap7), report(0, 7, 2, 2, "15-bit direct"),
       1},
      {"total_wraps_to_0", make_tim(wrap0), report(0, 0, 32, 16, "4-bit CLUT"),
       1},
  };
  for (const Claim& c : claims) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    const Bytes input = embed(c.tim, 0, 100, 0);
    box.write("in.bin", input);
    box.config(
        "infile=\"in.bin\" outname=\"x\" writetim=\"1\" writebmp=\"1\" "
        "mintimsize=\"0\" maxtims=\"1\"");
    const Outcome o = box.run(Sandbox::memory_limit(48));
    std::string want = kHead + reading("in.bin", input.size()) + c.reports;
    if (c.counted) want += "Hit MAX_TIMS (1)\n";
    EXPECT_EQ(o.out, want + total(c.counted));
    EXPECT_EQ(o.status, 255);
    if (c.counted) {
      const std::size_t n = c.reports.find(", size of ");
      const std::size_t size = std::stoul(c.reports.substr(n + 10));
      EXPECT_EQ(box.read("x1.tim"), Bytes(input.begin(), input.begin() + size));
    }
  }
}

// The same bound leaves room for real work: the largest real sample converts.
TEST_F(Hardening, RealWorkFitsTheMemoryBound) {
  Sandbox box;
  const Bytes tim = read_file(data_path("real/24bit_640x480_bunpattern.tim"));
  box.write("big.tim", embed(tim, 16, 64));
  box.config("infile=\"big.tim\" outname=\"x\" writebmp=\"1\"");
  const Outcome o = box.run(Sandbox::memory_limit(48));
  EXPECT_EQ(o.out, kHead + reading("big.tim", tim.size() + 80) +
                       report(16, tim.size(), 640, 480, "24-bit direct") +
                       total(1));
  EXPECT_EQ(box.read("x1.bmp").size(), 54u + 1920u * 480u);
}

// Sparse files, so no disk is used.
TEST_F(Hardening, InputsTooLargeForOffsetsAreSkipped) {
  Sandbox box;
  std::ofstream(box.path("huge.bin"));
  fs::resize_file(box.path("huge.bin"), 2147483648ull);
  box.config("infile=\"huge.bin\"");
  EXPECT_EQ(box.run(Sandbox::memory_limit(48)).out,
            kHead + kNoOut +
                "Skipping huge.bin: larger than 2147483647 bytes.\n" +
                total(0));
}

TEST_F(Hardening, InputsTooLargeForMemoryAreSkipped) {
  if (Sandbox::kSanitized)
    GTEST_SKIP() << "ASan's limit does not cover the loader's mapping";
  Sandbox box;
  std::ofstream(box.path("max.bin"));
  fs::resize_file(box.path("max.bin"), 2147483647ull);
  box.config("infile=\"max.bin\"");
  EXPECT_EQ(box.run(Sandbox::memory_limit(48)).out,
            kHead + kNoOut + reading("max.bin", 2147483647) +
                "Skipping max.bin: not enough memory to load it.\n" + total(0));
}

// ---------------------------------------------------------------------------
// Output that cannot be created or written.

struct Blocked {
  const char* name;
  const char* writes;             // writetim / writebmp settings
  void (*block)(const Sandbox&);  // makes the output impossible
  const char* failures[2];        // failure lines after the first / second TIM
  int counted;
  std::vector<std::string> files;  // regular files left, besides the inputs
};

TEST_F(Hardening, OutputThatCannotBeCreated) {
  const Blocked cases[] = {
      {"directory where the copy goes",
       "writetim=\"1\" writebmp=\"1\"",
       [](const Sandbox& b) { fs::create_directory(b.path("x1.tim")); },
       {"Could not write x1.tim\n", "Could not write x1.tim\n"},
       0,
       {}},
      {"directory where the bitmap goes",
       "writetim=\"1\" writebmp=\"1\"",
       [](const Sandbox& b) { fs::create_directory(b.path("x1.bmp")); },
       {"Could not write x1.bmp\n", ""},
       2,
       {"x1.tim", "x2.bmp", "x2.tim"}},
      {"FIFO where the copy goes",
       "writetim=\"1\" writebmp=\"0\"",
       [](const Sandbox& b) { ::mkfifo(b.path("x1.tim").c_str(), 0644); },
       {"Could not write x1.tim\n", "Could not write x1.tim\n"},
       0,
       {}},
      {"device where the bitmap goes",
       "writetim=\"0\" writebmp=\"1\"",
       [](const Sandbox& b) {
         fs::create_symlink("/dev/null", b.path("x1.bmp"));
       },
       {"Could not write x1.bmp\n", ""},
       2,
       {"x2.bmp"}},
      {"missing directory, bitmaps only",
       "writetim=\"0\" writebmp=\"1\"",
       [](const Sandbox&) {},
       {"Could not write x1.bmp\n", "Could not write x2.bmp\n"},
       2,
       {}},
  };
  const Bytes tim = tim_4bit_32x16();
  for (const Blocked& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    box.write("in/t.bin", concat({tim, tim, Bytes(100, 0)}));
    c.block(box);
    const bool missing = std::string(c.name).find("missing") == 0;
    box.config(std::string("infile=\"in/t.bin\" outname=\"") +
               (missing ? "nodir/x" : "x") + "\" " + c.writes);
    std::string f0 = c.failures[0], f1 = c.failures[1];
    if (missing) {
      f0.insert(16, "nodir/");
      f1.insert(16, "nodir/");
    }
    EXPECT_EQ(box.run().out, kHead + reading("in/t.bin", 740) +
                                 report(0, 320, 32, 16, "4-bit CLUT") + f0 +
                                 report(320, 320, 32, 16, "4-bit CLUT") + f1 +
                                 total(c.counted));
    std::vector<std::string> left = box.files();
    left.erase(std::remove(left.begin(), left.end(), "vexlo.cfg"), left.end());
    EXPECT_EQ(left, c.files);
  }
}

// Writes that stop part-way: the file-size limit (ulimit -f counts 512-byte
// blocks in a POSIX shell) lets 2048 bytes through, and with SIGXFSZ ignored
// the write that crosses it fails instead of killing the run.
TEST_F(Hardening, WritesThatFailPartWayAreRemovedAndCountedByTheRules) {
  Sandbox box;
  const Bytes a = tim15(16, 16);  // 532 bytes, bitmap 822: both fit
  const Bytes b = tim15(32, 32);  // 2068 bytes: the copy fails
  const Bytes c = tim15(28, 28);  // 1588 bytes, bitmap 2406: the bitmap fails
  box.write("in.bin", concat({a, b, c, a, Bytes(64, 0)}));
  box.config(
      "infile=\"in.bin\" outname=\"x\" writetim=\"1\" writebmp=\"1\" "
      "maxtimsize=\"100000\"");
  const std::size_t ob = a.size(), oc = ob + b.size(), oa = oc + c.size();
  const Outcome o = box.run("trap '' XFSZ; ulimit -f 4;");
  EXPECT_EQ(o.out, kHead + reading("in.bin", oa + a.size() + 64) +
                       report(0, a.size(), 16, 16, "15-bit direct") +
                       report(ob, b.size(), 32, 32, "15-bit direct") +
                       "Could not write x2.tim\n" +
                       report(oc, c.size(), 28, 28, "15-bit direct") +
                       "Could not write x2.bmp\n" +
                       report(oa, a.size(), 16, 16, "15-bit direct") +
                       total(3));
  EXPECT_EQ(box.files(),
            (std::vector<std::string>{"in.bin", "vexlo.cfg", "x1.bmp", "x1.tim",
                                      "x2.tim", "x3.bmp", "x3.tim"}));
  EXPECT_EQ(box.read("x2.tim"), c);  // the number was reused
  EXPECT_EQ(box.read("x3.tim"), a);
}

// ---------------------------------------------------------------------------
// Inputs and configuration files that are not regular files.

bool make_socket(const fs::path& p) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string s = p.string();
  if (s.size() >= sizeof addr.sun_path) return false;
  std::copy(s.begin(), s.end(), addr.sun_path);
  const bool ok =
      ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

TEST_F(Hardening, InputsThatCannotBeScannedNeverBlock) {
  Sandbox box;
  fs::create_symlink("/dev/zero", box.path("zero_link"));
  fs::create_symlink("nowhere/at/all", box.path("dangling"));
  ASSERT_EQ(::mkfifo(box.path("fifo").c_str(), 0644), 0);
  std::vector<std::string> names = {"zero_link", "dangling", "fifo",
                                    "/dev/urandom", "/dev/tty"};
  if (::mknod(box.path("cdev").c_str(), S_IFCHR | 0644, ::makedev(1, 5)) == 0)
    names.push_back("cdev");
  if (make_socket(box.path("sock"))) names.push_back("sock");
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    box.config("infile=\"" + name + "\"");
    EXPECT_EQ(box.run().out,
              kHead + kNoOut + "Open for " + name + " failed\n" + total(0));
  }
}

TEST_F(Hardening, ConfigurationThatIsNotAFileCountsAsMissing) {
  const std::string missing = kHead + "'vexlo.cfg' not found.\n" + kNoOut +
                              "No input file specified, exiting.\nModify "
                              "your 'vexlo.cfg' file.\n" +
                              total(0);
  Sandbox dir, fifo, dev;
  fs::create_directory(dir.path("vexlo.cfg"));
  EXPECT_EQ(dir.run().out, missing);
  ASSERT_EQ(::mkfifo(fifo.path("vexlo.cfg").c_str(), 0644), 0);
  EXPECT_EQ(fifo.run().out, missing);
  fs::create_symlink("/dev/zero", dev.path("vexlo.cfg"));
  EXPECT_EQ(dev.run().out, missing);
}

// ---------------------------------------------------------------------------
// Hostile trees.

// The output split into one piece per scanned file, sorted, so that trees
// listed in the system's order compare exactly.
std::vector<std::string> per_file(const std::string& out, std::string* rest) {
  std::vector<std::string> pieces;
  std::size_t at = out.find("\nReading ");
  *rest = out.substr(0, at == std::string::npos ? out.size() : at + 1);
  while (at != std::string::npos) {
    const std::size_t next = out.find("\nReading ", at + 1);
    const std::size_t end = out.rfind("\nA total of ");
    const std::size_t stop = next == std::string::npos ? end : next;
    pieces.push_back(out.substr(at + 1, stop - at));
    at = next;
  }
  if (const std::size_t t = out.rfind("A total of "); t != std::string::npos)
    *rest += out.substr(t);
  std::sort(pieces.begin(), pieces.end());
  return pieces;
}

// Runs the tree search and checks that exactly `files` were scanned, each
// holding one TIM at offset 10. Gives the output.
std::string expect_tree(const Sandbox& box,
                        const std::vector<std::string>& files,
                        const Bytes& content) {
  const Outcome o = box.run();
  std::vector<std::string> want;
  for (const std::string& f : files) {
    std::string piece = reading(Sandbox::shown(box.path(f)), content.size());
    want.push_back(piece + report(10, 320, 32, 16, "4-bit CLUT"));
  }
  std::sort(want.begin(), want.end());
  std::string rest;
  EXPECT_EQ(per_file(o.out, &rest), want);
  EXPECT_EQ(rest, kHead + kNoOut + total(static_cast<int>(files.size())));
  EXPECT_EQ(o.status, 255);
  return o.out;
}

TEST_F(Hardening, TreeWithLoopsPipesAndDevicesEnds) {
  Sandbox box;
  const Bytes file = one_tim();
  box.write("tree/a.bin", file);
  box.write("tree/sub/b.bin", file);
  fs::create_directory_symlink(".", box.path("tree/loop"));
  fs::create_directory_symlink("..", box.path("tree/sub/up"));
  fs::create_directory_symlink(box.path("tree"), box.path("tree/sub/root"));
  fs::create_symlink("sub/b.bin", box.path("tree/link.bin"));
  fs::create_symlink("/dev/zero", box.path("tree/zero.bin"));
  fs::create_symlink("missing.bin", box.path("tree/dangling.bin"));
  ASSERT_EQ(::mkfifo(box.path("tree/pipe.bin").c_str(), 0644), 0);
  ::mknod(box.path("tree/sub/cdev").c_str(), S_IFCHR | 0644, ::makedev(1, 5));
  make_socket(box.path("tree/sock"));
  box.config("inpath=\"tree\" searchtype=\"*.*\"");
  const std::string out =
      expect_tree(box, {"tree/sub/b.bin", "tree/a.bin", "tree/link.bin"}, file);
  // Order within one directory is the system's; subdirectories come first.
  EXPECT_LT(out.find("/sub/b.bin"), out.find("/a.bin"));
}

TEST_F(Hardening, NamesWithAwkwardCharactersAreScanned) {
  Sandbox box;
  const Bytes file = one_tim();
  const std::vector<std::string> names = {
      "tree/with space/a b.bin",
      "tree/with space/q\"uo'te.bin",
      "tree/new\nline/x\ny.bin",
      "tree/\xe9t\xe9/\xff\x80\xc3\xa9.bin",
      "tree/tab\there/$(echo no) `x` *?.bin",
      "tree/-dash/--.bin",
  };
  for (const std::string& n : names) box.write(n, file);
  box.config("inpath=\"tree\" searchtype=\"*.*\"");
  expect_tree(box, names, file);
}

TEST_F(Hardening, DeepTreeAndPathsAtTheLengthLimit) {
  Sandbox box;
  const Bytes file = one_tim();
  // 200 levels; the deeper ones lie beyond 1023 characters and are skipped.
  std::string rel = "tree";
  std::vector<std::string> scanned;
  for (int level = 1; level <= 200; ++level) {
    rel += "/dddd";
    if (level % 25 == 0) {
      box.write(rel + "/t.bin", file);
      if (Sandbox::shown(box.path(rel + "/t.bin")).size() <= 1023)
        scanned.push_back(rel + "/t.bin");
    }
  }
  ASSERT_GE(scanned.size(), 4u);
  ASSERT_LE(scanned.size(), 7u);
  // Two names in one directory: one path of exactly 1023 characters, one of
  // 1024.
  std::string near = "tree/near";
  while (Sandbox::shown(box.path(near)).size() < 850)
    near += "/" + std::string(40, 'n');
  const std::size_t room = 1023 - Sandbox::shown(box.path(near)).size() - 1;
  const std::string fit = near + "/" + std::string(room - 4, 'f') + ".bin";
  const std::string over = near + "/" + std::string(room - 3, 'o') + ".bin";
  ASSERT_EQ(Sandbox::shown(box.path(fit)).size(), 1023u);
  box.write(fit, file);
  box.write(over, file);
  scanned.push_back(fit);
  box.config("inpath=\"tree\" searchtype=\"*.*\"");
  expect_tree(box, scanned, file);
}

}  // namespace
}  // namespace vexlo::test
