// GUIDs: random version 4 with the RFC variant, and their two text forms.
#include "platform/win32/Guid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

namespace {

using quillon::platform::GuidToHex32;
using quillon::platform::GuidToString;
using quillon::platform::NewGuidHex32;

TEST(GuidTest, TextsOfAKnownGuid) {
  GUID g{0x0123ABCD, 0x4567, 0x89EF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
  EXPECT_EQ(GuidToString(g), "{0123ABCD-4567-89EF-FEDC-BA9876543210}");
  EXPECT_EQ(GuidToHex32(g), "0123ABCD456789EFFEDCBA9876543210");
}

TEST(GuidTest, NewGuidsAreUpperHexVersion4AndDistinct) {
  const std::regex form("[0-9A-F]{12}4[0-9A-F]{3}[89AB][0-9A-F]{15}");
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    std::string text = NewGuidHex32();
    ASSERT_TRUE(std::regex_match(text, form)) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 2000u);
}

TEST(GuidTest, CoCreateGuidFillsTheRecord) {
  GUID a{}, b{};
  ASSERT_EQ(CoCreateGuid(&a), S_OK);
  ASSERT_EQ(CoCreateGuid(&b), S_OK);
  EXPECT_EQ(a.Data3 >> 12, 4);
  EXPECT_EQ(a.Data4[0] & 0xC0, 0x80);
  EXPECT_NE(GuidToHex32(a), GuidToHex32(b));
  EXPECT_EQ(CoCreateGuid(nullptr), E_FAIL);
}

}  // namespace
