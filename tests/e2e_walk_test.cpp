// End-to-end: tree searches.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

namespace fs = std::filesystem;

TEST(Walk, SubdirectoriesBeforeFilesAndDottedDirectoriesSkipped) {
  Sandbox box;
  box.write("tree/root.bin", one_tim());
  box.write("tree/sub/inner.bin", one_tim());
  box.write("tree/sub/deeper/deep.bin", one_tim());
  box.write("tree/old.data/hidden.bin", one_tim());
  for (const char* inpath : {"tree", "tree/", "./tree//"}) {
    box.config(std::string("inpath=\"") + inpath + "\" searchtype=\"*.*\"");
    EXPECT_EQ(box.run().out, kHead + kNoOut +
                                 found_in(box, "tree/sub/deeper/deep.bin") +
                                 found_in(box, "tree/sub/inner.bin") +
                                 found_in(box, "tree/root.bin") + total(3))
        << inpath;
  }
}

TEST(Walk, AbsoluteInpathAndInfileIgnored) {
  Sandbox box;
  box.write("tree/a.bin", one_tim());
  box.write("solo.bin", one_tim());
  box.config("infile=\"solo.bin\" inpath=\"" + box.path("tree").string() +
             "\"");
  EXPECT_EQ(box.run().out,
            kHead + kNoOut + found_in(box, "tree/a.bin") + total(1));
}

TEST(Walk, SearchtypeMatchesInAnyLetterCase) {
  Sandbox box;
  box.write("t/x/a.BIN", one_tim());
  box.write("t/b.bin", one_tim());
  box.write("t/c.bins", one_tim());
  box.write("t/d.tim", one_tim());
  box.config("inpath=\"t\" searchtype=\"*.bin\"");
  EXPECT_EQ(box.run().out, kHead + kNoOut + found_in(box, "t/x/a.BIN") +
                               found_in(box, "t/b.bin") + total(2));
  // Without a leading star every file is searched.
  box.config("inpath=\"t\" searchtype=\"bin\"");
  const std::string out = box.run().out;
  EXPECT_NE(out.find("c.bins"), std::string::npos);
  EXPECT_NE(out.find("d.tim"), std::string::npos);
  EXPECT_NE(out.find(total(4)), std::string::npos);
}

TEST(Walk, LimitEndsEachLaterFileAfterItsFirstTim) {
  Sandbox box;
  const Bytes tim = tim_4bit_32x16();
  const Bytes two = concat({tim, tim, Bytes(100, 0)});
  box.write("t/s1/a.bin", two);
  box.write("t/s2/b.bin", two);  // subdirectories are listed in any order
  box.config("inpath=\"t\" maxtims=\"1\" outname=\"out_\" writetim=\"1\"");
  const Outcome o = box.run();
  const std::string per_file =
      report(0, 320, 32, 16, "4-bit CLUT") + "Hit MAX_TIMS (1)\n";
  const std::string a = reading(Sandbox::shown(box.path("t/s1/a.bin")), 740);
  const std::string b = reading(Sandbox::shown(box.path("t/s2/b.bin")), 740);
  EXPECT_TRUE(o.out == kHead + a + per_file + b + per_file + total(2) ||
              o.out == kHead + b + per_file + a + per_file + total(2))
      << o.out;
  EXPECT_TRUE(box.exists("out_2.tim"));
}

TEST(Walk, MissingInpathFindsNothing) {
  Sandbox box;
  box.config("inpath=\"nowhere\"");
  EXPECT_EQ(box.run().out, kHead + kNoOut + total(0));
}

TEST(Walk, EndsOnLinkLoopsAndNeverBlocksOnSpecialFiles) {
  Sandbox box;
  box.write("t/sub/a.bin", one_tim());
  fs::create_directory_symlink("..", box.path("t/sub/loop"));
  fs::create_symlink("sub/a.bin", box.path("t/link.bin"));
  ASSERT_EQ(::mkfifo(box.path("t/fifo").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", box.path("t/zero"));
  box.config("inpath=\"t\"");
  const Outcome o = box.run();
  // The link to a file is scanned like the file; the rest is skipped.
  EXPECT_EQ(o.out, kHead + kNoOut + found_in(box, "t/sub/a.bin") +
                       found_in(box, "t/link.bin") + total(2));
  EXPECT_EQ(o.status, 255);
}

TEST(Walk, UnreadableDirectoryIsSkipped) {
  Sandbox box;
  box.write("t/locked/a.bin", one_tim());
  box.write("t/b.bin", one_tim());
  fs::permissions(box.path("t/locked"), fs::perms::none);
  box.config("inpath=\"t\"");
  const std::string out = box.run().out;
  EXPECT_NE(out.find(found_in(box, "t/b.bin")), std::string::npos);
  // Root reads through permissions; anyone else must skip the directory.
  if (::geteuid() != 0) {
    EXPECT_EQ(out.find("locked"), std::string::npos);
  }
}

TEST(Walk, NeverScansItsOwnOutput) {
  Sandbox box;
  // Outputs land in the searched root and match the search type: without
  // the guard each new .tim copy would be scanned and copied again.
  box.write("t/a/in.tim", one_tim());
  box.write("t/b/in.tim", one_tim());
  box.config(
      "inpath=\"t\" searchtype=\"*.tim\" outname=\"t/out\" writetim=\"1\" "
      "maxtims=\"0\"");
  const Outcome o = box.run();
  EXPECT_NE(o.out.find(total(2)), std::string::npos) << o.out;
  EXPECT_EQ(box.files("t"), (std::vector<std::string>{"out1.tim", "out2.tim"}));
}

TEST(Walk, OutputsOfAnEarlierRunAreScanned) {
  Sandbox box;
  box.write("t/a.tim", one_tim());
  box.config("inpath=\"t\" outname=\"t/x\" writetim=\"1\" writebmp=\"1\"");
  box.run();
  // The second run sees x1.tim from the first and scans it like any file.
  // Its own outputs go elsewhere: were x1.tim replaced during the walk, it
  // would count as this run's output or not depending on the order of the
  // listing (alphabetical on Windows, hashed on ext4).
  box.config("inpath=\"t\" outname=\"o_\" writetim=\"1\"");
  EXPECT_NE(
      box.run().out.find(reading(Sandbox::shown(box.path("t/x1.tim")), 320)),
      std::string::npos);
}

TEST(Walk, BitmapsAtTheSameOffsetKeepTheirOwnNames) {
  Sandbox box;
  box.write("t/s1/a.bin", one_tim());
  box.write("t/s2/b.bin", one_tim());
  box.config(
      "inpath=\"t\" outname=\"out/x\" writetim=\"1\" writebmp=\"1\" "
      "numbyoffset=\"1\"");
  fs::create_directory(box.path("out"));
  box.write("out/x_0000000010.bmp", std::string("from an earlier run"));
  box.run();
  EXPECT_EQ(box.files("out"),
            (std::vector<std::string>{"x1.tim", "x2.tim", "x_0000000010.bmp",
                                      "x_0000000010_2.bmp"}));
  EXPECT_EQ(box.read("out/x_0000000010.bmp").size(), 1590u);
}

}  // namespace
}  // namespace vexlo::test
