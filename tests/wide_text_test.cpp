#include "platform/wide_text.h"

#include <gtest/gtest.h>

namespace vexlo {
namespace {

TEST(WideText, Utf8DecodesAndRoundTrips) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  } cases[] = {
      {"a.bin", u"a.bin"},
      {"caf\xc3\xa9", u"caf\u00e9"},
      {"\xe6\x97\xa5\xe6\x9c\xac", u"\u65e5\u672c"},
      {"\xf0\x9f\x98\x80", u"\U0001F600"},  // a surrogate pair
      {"\xef\xbf\xbf\xf4\x8f\xbf\xbf", u"\uFFFF\U0010FFFF"},
  };
  for (const Case& c : cases) {
    std::u16string got;
    EXPECT_TRUE(utf8_to_utf16(c.utf8, &got, false)) << c.utf8;
    EXPECT_EQ(got, c.utf16) << c.utf8;
    EXPECT_EQ(utf16_to_utf8(c.utf16), c.utf8);
  }
}

TEST(WideText, InvalidUtf8IsRefused) {
  for (const std::string bad : {
           "caf\xe9.bin",           // ANSI
           "\x80",                  // stray continuation byte
           "\xc3",                  // truncated
           "\xe6\x97",              // truncated
           "\xc0\xaf",              // overlong "/"
           "\xe0\x80\xaf",          // overlong "/"
           "\xf0\x80\x80\xaf",      // overlong "/"
           "\xf4\x90\x80\x80",      // above U+10FFFF
           "\xf8\x88\x80\x80\x80",  // five bytes
           "\xc3\x28",              // lead without continuation
       }) {
    std::u16string got;
    EXPECT_FALSE(utf8_to_utf16(bad, &got, true)) << bad;
  }
}

// A listed name holding an unpaired surrogate must open again by the path
// built from it; the configuration never holds one.
TEST(WideText, LoneSurrogatesRoundTripOnlyWhenAllowed) {
  const std::u16string name = {u'a', char16_t(0xD800), u'b', char16_t(0xDC01)};
  const std::string utf8 = utf16_to_utf8(name);
  EXPECT_EQ(utf8,
            "a\xed\xa0\x80"
            "b\xed\xb0\x81");
  std::u16string back;
  EXPECT_TRUE(utf8_to_utf16(utf8, &back, true));
  EXPECT_EQ(back, name);
  EXPECT_FALSE(utf8_to_utf16(utf8, &back, false));
  // A pair written as two lone halves is not how any name comes back.
  EXPECT_FALSE(utf8_to_utf16("\xed\xa0\x80\xed\xb0\x81", &back, true));
}

TEST(WideText, ConfigEncodingIsDecidedBeforeTheEndMarker) {
  EXPECT_TRUE(config_text_is_utf8("infile=\"caf\xc3\xa9.bin\""));
  EXPECT_TRUE(config_text_is_utf8(""));
  EXPECT_FALSE(config_text_is_utf8("infile=\"caf\xe9.bin\""));
  EXPECT_FALSE(config_text_is_utf8("x=\"\xed\xa0\x80\""));
  // Bytes after the marker are never read as configuration.
  EXPECT_TRUE(config_text_is_utf8(std::string("a=\"b\"\x1a\xff", 7)));
  EXPECT_TRUE(config_text_is_utf8(std::string("a=\"b\"\0\xff", 7)));
  EXPECT_FALSE(config_text_is_utf8(std::string("\xff\0", 2)));
}

TEST(WideText, LongPathForm) {
  struct Case {
    std::u16string full, want;
  } cases[] = {
      {u"C:\\games\\a.bin", u"\\\\?\\C:\\games\\a.bin"},
      {u"z:\\", u"\\\\?\\z:\\"},
      {u"\\\\server\\share\\a", u"\\\\?\\UNC\\server\\share\\a"},
      {u"\\\\?\\C:\\a", u"\\\\?\\C:\\a"},
      {u"\\\\.\\NUL", u"\\\\.\\NUL"},
      {u"\\\\.\\pipe\\x", u"\\\\.\\pipe\\x"},
      {u"\\\\.server\\share", u"\\\\?\\UNC\\.server\\share"},
      {u"relative", u"relative"},
      {u"C:", u"C:"},
      {u"", u""},
  };
  for (const Case& c : cases) EXPECT_EQ(long_path_form(c.full), c.want);
}

TEST(WideText, OnlyNameSurrogateReparsePointsAreLinks) {
  struct Case {
    uint32_t tag;
    bool link;
  } cases[] = {
      {0xA0000003, true},   // junction (mount point)
      {0xA000000C, true},   // symbolic link
      {0xA000001D, true},   // WSL symbolic link
      {0x00000000, true},   // no tag given
      {0x9000001A, false},  // cloud files (OneDrive)
      {0x9000601A, false},  // cloud files, a sub-tag
      {0x80000021, false},  // OneDrive
      {0x80000013, false},  // deduplication
      {0x80000017, false},  // compressed (WOF)
      {0x9000001C, false},  // projected file system
  };
  for (const Case& c : cases)
    EXPECT_EQ(reparse_tag_is_link(c.tag), c.link) << std::hex << c.tag;
}

}  // namespace
}  // namespace vexlo
