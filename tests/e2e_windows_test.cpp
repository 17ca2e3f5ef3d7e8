// End-to-end: what the Windows build must get right beyond the shared
// logic: path spellings, the listing's length limit and matching, file
// attributes, 64-bit sizes and device names. Cases that only mean something
// on Windows run only when the suite drives the Windows build (VEXLO_WINE=1);
// the rest hold on every platform.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

namespace fs = std::filesystem;

TEST(WindowsPaths, InpathSpellingsGiveTheSamePatterns) {
  if (!Sandbox::windows_build()) GTEST_SKIP() << "Windows path spellings";
  Sandbox box;
  box.write("tree/sub/a.bin", one_tim());
  box.write("tree/b.bin", one_tim());
  const std::string want = kHead + kNoOut + found_in(box, "tree/sub/a.bin") +
                           found_in(box, "tree/b.bin") + total(1 + 1);
  const std::string drive = Sandbox::shown(box.path("tree"));
  for (const std::string& inpath :
       {std::string("tree\\"), std::string("tree\\\\"), std::string(".\\tree"),
        std::string("sub\\..\\tree"), drive, drive + "\\"}) {
    box.config("inpath=\"" + inpath + "\" searchtype=\"*.bin\"");
    EXPECT_EQ(box.run().out, want) << inpath;
  }
}

// The relative path `rel` lengthened with folders of 200 characters until
// the absolute path of the sandbox's `rel` + `tail` is `length` long.
std::string padded(const Sandbox& box, std::string rel, std::size_t length,
                   const std::string& tail) {
  for (;;) {
    const std::size_t have = Sandbox::shown(box.path(rel + tail)).size();
    if (have >= length) return rel;
    // One more character lengthens the last folder; more add a folder.
    const std::size_t need = length - have;
    if (need > 1) rel += '/';
    rel.append(need == 1 ? 1 : std::min<std::size_t>(200, need - 1), 'd');
  }
}

// Listings take paths up to the program's own limit, far beyond the 260
// characters of the system's short form.
TEST(WindowsPaths, LongPatternsListLikeShortOnes) {
  for (const std::size_t pattern_length : {259, 260, 1000}) {
    Sandbox box;
    // The file pattern is "Z:" + the directory + "\*.bin".
    const std::string dir = padded(box, "t", pattern_length, "/*.bin");
    ASSERT_EQ(Sandbox::shown(box.path(dir + "/*.bin")).size(), pattern_length);
    box.write(dir + "/a.bin", one_tim());
    box.config("inpath=\"t\" searchtype=\"*.bin\"");
    EXPECT_EQ(box.run().out,
              kHead + kNoOut + found_in(box, dir + "/a.bin") + total(1))
        << pattern_length;
  }
}

// Inputs and outputs likewise.
TEST(WindowsPaths, LongInputAndOutputPaths) {
  Sandbox box;
  const std::string d(200, 'd');
  const std::string dir = "t/" + d + "/" + d + "/" + d;  // 604 characters
  box.write(dir + "/in.bin", one_tim());
  box.config("infile=\"" + dir + "/in.bin\" outname=\"" + dir +
             "/o_\" writetim=\"1\"");
  EXPECT_EQ(box.run().out, kHead + reading(dir + "/in.bin", 430) +
                               report(10, 320, 32, 16, "4-bit CLUT") +
                               total(1));
  EXPECT_EQ(box.read(dir + "/o_1.tim"), tim_4bit_32x16());
}

// Japanese and accented names in folders and files, in a tree search and as
// the UTF-8 infile and outname of vexlo.cfg.
TEST(WindowsPaths, NamesInAnyScript) {
  struct Case {
    std::string config;
    std::vector<std::string> scanned;
    std::string written;
  };
  const std::string jp = "t/\u65e5\u672c";  // a folder
  const std::string tex = jp + "/\u30c6\u30af\u30b9\u30c1\u30e3.bin";
  const std::string cafe = jp + "/Caf\u00e9/\u00e9t\u00e9.bin";
  for (const Case& c : {
           // Subfolders before files: the order is fixed.
           Case{"inpath=\"t\" outname=\"\u51fa\u529b/\u00df_\"",
                {cafe, tex},
                "\u00df_2.tim"},
           Case{"infile=\"" + cafe + "\" outname=\"\u51fa\u529b/" +
                    "\u65e5\u672c_\"",
                {},
                "\u65e5\u672c_1.tim"},
       }) {
    Sandbox box;
    box.write(tex, one_tim());
    box.write(cafe, one_tim());
    fs::create_directory(box.path("\u51fa\u529b"));
    box.config(c.config + " writetim=\"1\"");
    std::string want = kHead;
    for (const std::string& rel : c.scanned) want += found_in(box, rel);
    if (c.scanned.empty())
      want += reading(cafe, 430) + report(10, 320, 32, 16, "4-bit CLUT");
    want += total(c.scanned.empty() ? 1 : 2);
    EXPECT_EQ(box.run().out, want) << c.config;
    EXPECT_EQ(box.read("\u51fa\u529b/" + c.written), tim_4bit_32x16())
        << c.config;
  }
}

// A vexlo.cfg that is not UTF-8 was saved in the ANSI code page (Wine's is
// 1252 here); its names are shown and opened as what they mean.
TEST(WindowsPaths, AnsiConfigStillReads) {
  if (!Sandbox::windows_build())
    GTEST_SKIP() << "configuration bytes are names as they are on POSIX";
  Sandbox box;
  box.write("caf\u00e9.bin", one_tim());
  box.config("infile=\"caf\xe9.bin\" outname=\"\xdf_\" writetim=\"1\"");
  EXPECT_EQ(box.run().out, kHead + reading("caf\u00e9.bin", 430) +
                               report(10, 320, 32, 16, "4-bit CLUT") +
                               total(1));
  EXPECT_EQ(box.read("\u00df_1.tim"), tim_4bit_32x16());
}

// Outputs that exist already hidden, system or read-only (as Wine shows
// them: dot names and modes without write bits, or its DOS attribute
// record) are replaced and keep those attributes.
TEST(WindowsFiles, HiddenSystemAndReadOnlyOutputsAreReplaced) {
  struct Case {
    const char* outname;
    const char* dos_attributes;  // Wine's record: 0x2 hidden, 0x4 system
    bool read_only;
  };
  for (const Case& c : {Case{".o_", nullptr, false}, Case{"h_", "0x2", false},
                        Case{"s_", "0x6", false}, Case{"r_", nullptr, true},
                        Case{"a_", "0x2", true}}) {
    if (c.read_only && !Sandbox::windows_build() && ::geteuid() != 0)
      continue;  // on POSIX only root may write a file without write bits
    Sandbox box;
    box.write("in.bin", one_tim());
    const std::string out = std::string(c.outname) + "1.tim";
    box.write(out, std::string("old"));
    const std::string path = box.path(out).string();
    const bool recorded =
        c.dos_attributes != nullptr &&
        ::setxattr(path.c_str(), "user.DOSATTRIB", c.dos_attributes,
                   std::strlen(c.dos_attributes), 0) == 0;
    if (c.read_only)
      fs::permissions(path, fs::perms::owner_write, fs::perm_options::remove);
    box.config(std::string("infile=\"in.bin\" outname=\"") + c.outname +
               "\" writetim=\"1\"");
    EXPECT_EQ(box.run().out, kHead + reading("in.bin", 430) +
                                 report(10, 320, 32, 16, "4-bit CLUT") +
                                 total(1))
        << out;
    EXPECT_EQ(box.read(out), tim_4bit_32x16()) << out;
    EXPECT_EQ((fs::status(path).permissions() & fs::perms::owner_write) ==
                  fs::perms::none,
              c.read_only)
        << out;
    if (recorded) {
      char got[16] = {};
      ASSERT_GT(::getxattr(path.c_str(), "user.DOSATTRIB", got, sizeof got - 1),
                0);
      EXPECT_STREQ(got, c.dos_attributes) << out;
    }
  }
}

TEST(WindowsPaths, ReadOnlyFilesAreScanned) {
  Sandbox box;
  box.write("t/ro.bin", one_tim());
  fs::permissions(box.path("t/ro.bin"), fs::perms::owner_read |
                                            fs::perms::group_read |
                                            fs::perms::others_read);
  box.config("inpath=\"t\"");
  EXPECT_EQ(box.run().out,
            kHead + kNoOut + found_in(box, "t/ro.bin") + total(1));
  box.config("infile=\"t/ro.bin\"");
  EXPECT_EQ(box.run().out, kHead + kNoOut + reading("t/ro.bin", 430) +
                               report(10, 320, 32, 16, "4-bit CLUT") +
                               total(1));
}

// A round trip from a read-only input: its patched copy is written whole
// (the system's copy keeps the attribute, which must not stop the patch).
TEST(WindowsFiles, ReinsertPatchesACopyOfAReadOnlyInput) {
  Sandbox box;
  const Bytes input = one_tim();
  box.write("ro.bin", input);
  box.config("infile=\"ro.bin\" outname=\"x\" writetim=\"1\" writeindex=\"1\"");
  box.run();
  Bytes tim = box.read("x1.tim");
  tim[100] ^= 0xFF;
  box.write("x1.tim", tim);
  fs::permissions(box.path("ro.bin"), fs::perms::owner_read |
                                          fs::perms::group_read |
                                          fs::perms::others_read);
  box.config("reinsert=\"xindex.csv\" outname=\"x\"");
  EXPECT_EQ(box.run().out,
            kHead + "Reinserting from xindex.csv\n" +
                "TIM 1 at byte 10: patched from x1.tim\n" +
                "Wrote xro.bin and xro.bin.ppf (1 tim(s) patched).\n" +
                "A total of 1 tim(s) reinserted.\n");
  EXPECT_EQ(box.read("xro.bin"), embed(tim, 10, 100));
  EXPECT_EQ(box.read("ro.bin"), input);
}

// Names without a dot, and only those: "*." is also what the walk enters
// directories by, and 8.3 short names must not widen "*.bin".
TEST(WindowsPaths, WildcardsMatchLongNamesOnly) {
  Sandbox box;
  box.write("t/plain", one_tim());
  box.write("t/a.bin", one_tim());
  box.write("t/long.binary", one_tim());
  box.write("t/with.dots.bin", one_tim());
  struct Case {
    const char* searchtype;
    std::vector<std::string> scanned;
  };
  for (const Case& c : {Case{"*.", {"t/plain"}},
                        Case{"*.bin", {"t/a.bin", "t/with.dots.bin"}}}) {
    box.config(std::string("inpath=\"t\" searchtype=\"") + c.searchtype + "\"");
    const std::string out = box.run().out;
    for (const std::string& rel : c.scanned)
      EXPECT_NE(out.find(found_in(box, rel)), std::string::npos)
          << c.searchtype << " " << rel << "\n"
          << out;
    EXPECT_NE(out.find(total(static_cast<int>(c.scanned.size()))),
              std::string::npos)
        << c.searchtype << "\n"
        << out;
  }
}

// Sizes come from 64-bit calls: 4 GiB + 430 bytes must not pass for 430.
TEST(WindowsFiles, FilesOver2GiBAreSkipped) {
  Sandbox box;
  for (const uint64_t size : {uint64_t{3} << 30, (uint64_t{4} << 30) + 430}) {
    box.write("big.bin", one_tim());
    fs::resize_file(box.path("big.bin"), size);  // sparse: no disk used
    box.config("infile=\"big.bin\"");
    EXPECT_EQ(box.run().out,
              kHead + kNoOut +
                  "Skipping big.bin: larger than 2147483647 bytes.\n" +
                  total(0))
        << size;
  }
}

// Device names open the console or a device on Windows; none may be read
// (the console would wait for typing) and none is a file on other systems.
TEST(WindowsFiles, DeviceNamesAreNotInputs) {
  Sandbox box;
  for (const char* name : {"NUL", "nul", "CON", "CONIN$", "NUL.bin"}) {
    box.config(std::string("infile=\"") + name + "\"");
    EXPECT_EQ(box.run().out,
              kHead + kNoOut + "Open for " + name + " failed\n" + total(0))
        << name;
  }
}

}  // namespace
}  // namespace vexlo::test
