// End-to-end: what the Windows build must get right beyond the shared
// logic: path spellings, the listing's length limit and matching, file
// attributes, 64-bit sizes and device names. Cases that only mean something
// on Windows run only when the suite drives the Windows build (VEXLO_WINE=1);
// the rest hold on every platform.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
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

TEST(WindowsPaths, PatternsOver259CharactersListNothing) {
  if (!Sandbox::windows_build())
    GTEST_SKIP() << "the 259-character limit is Windows'";
  struct Case {
    std::size_t pattern_length;
    bool found;
  };
  for (const Case c : {Case{259, true}, Case{260, false}}) {
    Sandbox box;
    // The file pattern is "Z:" + the directory + "\*.bin".
    const std::size_t dir_length = c.pattern_length - 2 - 6;
    const std::size_t name_length = dir_length - box.dir().string().size() - 1;
    const std::string name(name_length, 'd');
    box.write(name + "/a.bin", one_tim());
    box.config("inpath=\"" + name + "\" searchtype=\"*.bin\"");
    EXPECT_EQ(box.run().out,
              kHead + kNoOut + (c.found ? found_in(box, name + "/a.bin") : "") +
                  total(c.found ? 1 : 0))
        << c.pattern_length;
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
