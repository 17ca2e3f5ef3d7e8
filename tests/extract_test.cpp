#include "extract/extract.h"

#include <gtest/gtest.h>

#include <string>

#include "extract/images.h"
#include "tests/tim_builder.h"

namespace vexlo {
namespace {

// A hit for `tim`, which must hold a TIM at its start, shown at `offset`.
TimHit hit_of(const test::Bytes& tim, uint32_t offset) {
  TimHit hit;
  hit.found = *examine_offset(tim, 0, -1);
  hit.bytes = std::span(tim).first(hit.found.total);
  hit.place.offset = offset;
  hit.file = "in.bin";
  return hit;
}

// What emit_tim printed, with `run`'s counter after it.
std::string emitted(vexlo::Run& run, const TimHit& hit) {
  testing::internal::CaptureStdout();
  emit_tim(run, hit);
  return testing::internal::GetCapturedStdout();
}

TEST(EmitTim, CountsWritesAndSkipsRepeats) {
  const test::Bytes tim = test::tim_4bit_32x16();
  struct Case {
    const char* what;
    bool skip;
    const char* outname;  // over-long names cannot be written
    int32_t counter_after;
    const char* printed_second;
  } cases[] = {
      {"repeats counted", false, "", 3, ""},
      {"repeats skipped", true, "", 2, "Same as TIM 1, not written.\n"},
      // The copy that cannot be written leaves the number to the next TIM.
      {"copy refused", false, nullptr, 1, "Could not write " /* + name */},
  };
  const std::string long_name(kTextMax, 'x');
  for (const Case& c : cases) {
    vexlo::Run run;
    run.settings.writebmp = false;
    run.settings.skipduplicates = c.skip;
    if (c.outname == nullptr) {
      run.settings.writetim = true;
      run.settings.outname = long_name;
    }
    const TimHit hit = hit_of(tim, 100);
    emitted(run, hit);
    const std::string second = emitted(run, hit);
    EXPECT_EQ(run.tim_counter, c.counter_after) << c.what;
    EXPECT_EQ(second.rfind(c.printed_second, 0), 0u)
        << c.what << ": " << second;
  }
}

TEST(CatalogueEntry, TakesTheHitsPlace) {
  const test::Bytes tim = test::tim_4bit_32x16();
  struct Case {
    std::optional<uint32_t> sector;
    uint32_t sector_offset;
    const char* disc_file;
    std::optional<uint32_t> disc_file_offset;
  } cases[] = {
      {std::nullopt, 0, "", std::nullopt},
      {17, 2000, "", std::nullopt},
      {17, 0, "DATA/TEX.BIN", 4096},
  };
  for (const Case& c : cases) {
    TimHit hit = hit_of(tim, 40000);
    hit.place.sector = c.sector;
    hit.place.sector_offset = c.sector_offset;
    hit.disc_file = c.disc_file;
    hit.disc_file_offset = c.disc_file_offset;
    const CatalogueEntry e = catalogue_entry(hit, 9);
    EXPECT_EQ(e.number, 9);
    EXPECT_EQ(e.file, "in.bin");
    EXPECT_EQ(e.offset, 40000);
    EXPECT_EQ(e.size, 320);
    EXPECT_EQ(e.sector, c.sector);
    EXPECT_EQ(e.sector_offset,
              c.sector ? std::optional(c.sector_offset) : std::nullopt);
    EXPECT_EQ(e.disc_file, c.disc_file);
    EXPECT_EQ(e.disc_file_offset, c.disc_file_offset);
    EXPECT_EQ(e.width, 32);
    EXPECT_TRUE(e.consistent);
  }
}

TEST(PrintReport, ShowsThePlaceAndLimitLine) {
  const test::Bytes tim = test::tim_4bit_32x16();
  testing::internal::CaptureStdout();
  print_report(hit_of(tim, 2147483647));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "TIM at byte 2147483647, size of 320\n32x16, pixelmode: 4-bit "
            "CLUT\n");
  // The limit is reached once the counter passes it.
  for (const auto& [counter, max, hit] :
       {std::tuple{10, 10, false}, {11, 10, true}, {1, 0, true}}) {
    vexlo::Run run;
    run.tim_counter = counter;
    run.settings.maxtims = max;
    testing::internal::CaptureStdout();
    EXPECT_EQ(hit_limit(run), hit) << counter << " " << max;
    EXPECT_EQ(testing::internal::GetCapturedStdout().empty(), !hit);
  }
}

TEST(ImageName, CountAndOffset) {
  vexlo::Run run;
  run.settings.outname = "x";
  run.tim_counter = 3;
  EXPECT_EQ(image_name(run, 4096, ".bmp"), "x3.bmp");
  run.settings.numbyoffset = true;
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "x_0000000000.bmp"},
      {4096, "x_0000004096.bmp"},
      {2147483647, "x_2147483647.bmp"}};
  for (auto [off, want] : cases) EXPECT_EQ(image_name(run, off, ".bmp"), want);
  run.bmp_names.insert("x_0000004096.bmp");
  EXPECT_EQ(image_name(run, 4096, ".bmp"), "x_0000004096_3.bmp");
}

}  // namespace
}  // namespace vexlo
