#include "driver/config.h"

#include <gtest/gtest.h>

#include <string>

namespace vexlo {
namespace {

TEST(ConfigValue, Lookup) {
  struct Case {
    std::string text, key, want;
  } cases[] = {
      {"infile=\"a.bin\"", "infile", "a.bin"},
      {"myinfile=\"tail\"", "infile", "tail"},  // key may end a longer word
      {"infile=\"first\" infile=\"second\"", "infile", "first"},
      {"infile=\"open to the end", "infile", "open to the end"},
      {"infile=\" spaced \r\nline \"", "infile", " spaced \r\nline "},
      {"infile=\"\"", "infile", ""},
      {"infile = \"x\"", "infile", ""},  // nothing may stand before '='
      {"INFILE=\"x\"", "infile", ""},    // case-sensitive
      {"", "infile", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(config_value(c.text, c.key), c.want) << c.text;
}

TEST(ConfigInt, ConvertsLikeTheToolAlwaysHas) {
  struct Case {
    std::string text;
    int32_t want;
  } cases[] = {
      {"12", 12},
      {"12abc", 12},
      {"abc", 0},
      {"  \t\n-3", -3},
      {"+7", 7},
      {"-", 0},
      {"2147483647", 2147483647},
      {"2147483648", INT32_MIN},  // wraps
      {"4294967297", 1},
      {"-2147483648", INT32_MIN},
      {" 1 2", 1},
      {"\v\f\r9", 9},
  };
  for (const Case& c : cases) EXPECT_EQ(config_int(c.text), c.want) << c.text;
}

TEST(ApplyConfig, FlagsFollowTheFirstCharacter) {
  struct Case {
    std::string value;
    bool want;
  } cases[] = {{"1", true},  {"no", true}, {"0yes", false},
               {"0", false}, {"", false},  {" 0", true}};
  for (const Case& c : cases) {
    Settings s;
    apply_config(s, "writetim=\"" + c.value + "\" writebmp=\"" + c.value +
                        "\" numbyoffset=\"" + c.value + "\" nopause=\"" +
                        c.value + "\"");
    EXPECT_EQ(s.nopause, c.want) << c.value;
    EXPECT_EQ(s.writetim, c.want) << c.value;
    EXPECT_EQ(s.writebmp, c.want) << c.value;
    EXPECT_EQ(s.numbyoffset, c.want) << c.value;
  }
}

TEST(ApplyConfig, RecognitionKeys) {
  Settings s;
  apply_config(s, "");
  EXPECT_FALSE(s.looseflags);
  EXPECT_FALSE(s.strict);
  apply_config(s, "looseflags=\"1\" strict=\"no\"");
  EXPECT_TRUE(s.looseflags);
  EXPECT_TRUE(s.strict);
  apply_config(s, "looseflags=\"0\"");
  EXPECT_FALSE(s.looseflags);
  EXPECT_FALSE(s.strict);
}

TEST(ApplyConfig, AbsentFlagsAreOffOnceAFileIsRead) {
  Settings s;
  apply_config(s, "");
  EXPECT_FALSE(s.writebmp);
  EXPECT_FALSE(s.writetim);
  EXPECT_EQ(s.maxtims, 10);
  EXPECT_EQ(s.mintimsize, 64);
  EXPECT_EQ(s.maxtimsize, 4000000);
  EXPECT_EQ(s.typefilter, -1);
}

TEST(ApplyConfig, Integers) {
  Settings s;
  apply_config(s,
               "maxtims=\"  -3\" mintimsize=\"0\" maxtimsize=\"12kb\" "
               "typefilter=\"four\"");
  EXPECT_EQ(s.maxtims, -3);
  EXPECT_EQ(s.mintimsize, 0);
  EXPECT_EQ(s.maxtimsize, 12);
  EXPECT_EQ(s.typefilter, 0);       // not a number: only 4-bit TIMs
  apply_config(s, "maxtims=\"\"");  // empty keeps what was there
  EXPECT_EQ(s.maxtims, -3);
}

TEST(ApplyConfig, TreeSearchWinsOverInfile) {
  Settings s;
  apply_config(s, "infile=\"f.bin\" inpath=\"dir\" searchtype=\"*.bin\"");
  EXPECT_TRUE(s.tree_search);
  EXPECT_EQ(s.inpath, "dir");
  EXPECT_EQ(s.searchtype, "*.bin");
  EXPECT_EQ(s.infile, "");
}

TEST(ApplyConfig, SearchtypeNeedsALeadingStar) {
  for (const char* type : {"bin", "", ".bin"}) {
    Settings s;
    apply_config(s, std::string("inpath=\"d\" searchtype=\"") + type + "\"");
    EXPECT_EQ(s.searchtype, "*.*") << type;
  }
  Settings s;
  apply_config(s, "infile=\"f\" searchtype=\"*.bin\"");
  EXPECT_EQ(s.searchtype, "");  // only read for a tree search
  EXPECT_EQ(s.infile, "f");
}

TEST(ApplyConfig, TextEndsAtZeroOr1A) {
  for (char stop : {'\0', '\x1a'}) {
    Settings s;
    std::string text = "outname=\"o\" ";
    text += stop;
    text += " infile=\"hidden\"";
    apply_config(s, text);
    EXPECT_EQ(s.outname, "o");
    EXPECT_EQ(s.infile, "");
  }
}

TEST(ApplyConfig, LongValuesAreCut) {
  Settings s;
  apply_config(s, "outname=\"" + std::string(5000, 'x') + "\"");
  EXPECT_EQ(s.outname.size(), kTextMax);
  apply_config(s, "reinsert=\"" + std::string(5000, 'x') + "\"");
  EXPECT_EQ(s.reinsert.size(), kTextMax);
}

// Keys are found by substring search: a key whose name ends another's
// would be read from that one's entry. And each names the field of its kind.
TEST(KeyTable, NamesStayApartAndFieldsMatchKinds) {
  for (const Key& a : kKeys) {
    for (const Key& b : kKeys) {
      if (&a == &b) continue;
      const std::string_view x = a.name, y = b.name;
      EXPECT_FALSE(y.size() >= x.size() && y.ends_with(x))
          << b.name << " ends with " << a.name;
    }
    const bool text = a.text != nullptr, number = a.number != nullptr,
               flag = a.flag != nullptr;
    EXPECT_EQ(text + number + flag, 1) << a.name;
    EXPECT_EQ(flag, a.kind == KeyKind::kFlag) << a.name;
    EXPECT_EQ(number, a.kind == KeyKind::kNumber) << a.name;
  }
}

}  // namespace
}  // namespace vexlo
