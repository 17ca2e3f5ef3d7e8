#include "platform/path.h"

#include <gtest/gtest.h>

namespace vexlo {
namespace {

TEST(WildcardMatch, WindowsRules) {
  struct Case {
    const char* pattern;
    const char* name;
    bool want;
  } cases[] = {
      {"*.*", "a.bin", true},     {"*.*", "noext", true},
      {"*.*", ".hidden", true},   {"*.", "sub", true},
      {"*.", "old.data", false},  {"*.", "a.", false},
      {"*.bin", "a.BIN", true},   {"*.bin", "b.bin", true},
      {"*.bin", "c.bins", false}, {"*.bin", "bin", false},
      {"*.BiN", "x.bIn", true},   {"?.tim", "a.tim", true},
      {"?.tim", "ab.tim", false}, {"*", "", true},
      {"*a*b*c", "xaybzc", true}, {"*a*b*c", "xaybz", false},
      {"data.*", "data", true},   {"*x", "x", true},
      {"a*", "b", false},         {"\xc3\xa9*", "\xc3\xa9t\xc3\xa9", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(wildcard_match(c.pattern, c.name), c.want)
        << c.pattern << " vs " << c.name;
}

TEST(WildcardMatch, ManyStarsStayFast) {
  // Backtracking without bound would take ages here.
  EXPECT_FALSE(
      wildcard_match(std::string(200, '*') + "b", std::string(1000, 'a')));
}

TEST(NormalisePath, Textual) {
  struct Case {
    const char* in;
    const char* want;
  } cases[] = {
      {"/a/b", "/a/b"},       {"/a//b/", "/a/b"},  {"/a/./b", "/a/b"},
      {"/a/b/../c", "/a/c"},  {"/../..", "/"},     {"/", "/"},
      {"/a/b/*.", "/a/b/*."}, {"//x///y", "/x/y"},
  };
  for (const Case& c : cases) EXPECT_EQ(normalise_path(c.in, '/'), c.want);
  EXPECT_EQ(normalise_path("\\a\\.\\b", '\\'), "\\a\\b");
}

}  // namespace
}  // namespace vexlo
