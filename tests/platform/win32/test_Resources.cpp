// Named resources: found by name ignoring case, absent names reported, never a crash.
#include "platform/win32/Resources.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using quillon::platform::FindResourceByName;
using quillon::platform::detail::EmbeddedResource;
using quillon::platform::detail::FindResourceIn;
using quillon::platform::detail::kEmbeddedResources;

const unsigned char kScript[] = {'a', 'l', 'e', 'r', 't', '(', ')', 0};
const unsigned char kBinary[] = {0x00, 0xFF, 0x10, 0};
const unsigned char kEmpty[] = {0};
const EmbeddedResource kTable[] = {
    {"LUM_JS_TEST", kScript, 7},
    {"LUM_BIN", kBinary, 3},
    {"LUM_EMPTY", kEmpty, 0},
    {nullptr, nullptr, 0},
};

TEST(ResourcesTest, LookupInATable) {
  struct Case {
    const char* name;
    bool found;
    std::string bytes;
  };
  const Case cases[] = {
      {"LUM_JS_TEST", true, "alert()"},
      {"lum_js_test", true, "alert()"},  // resource names ignore case
      {"LUM_BIN", true, std::string("\0\xFF\x10", 3)},
      {"LUM_EMPTY", true, ""},  // empty but present
      {"LUM_JS", false, ""},    // a prefix is not a match
      {"LUM_JS_TEST_", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    auto got = FindResourceIn(kTable, c.name);
    ASSERT_EQ(got.has_value(), c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(std::string(*got), c.bytes) << c.name;
    }
  }
  EXPECT_FALSE(FindResourceIn(nullptr, "LUM_BIN").has_value());
}

TEST(ResourcesTest, EveryCompiledInResourceIsFoundByItsNameAndAMissingOneIsNot) {
  for (const EmbeddedResource* r = kEmbeddedResources; r->name != nullptr; ++r) {
    auto got = FindResourceByName(r->name);
    ASSERT_TRUE(got.has_value()) << r->name;
    EXPECT_EQ(got->size(), r->size);
    EXPECT_EQ(static_cast<const void*>(got->data()), static_cast<const void*>(r->data));
  }
  EXPECT_FALSE(FindResourceByName("NO_SUCH_RESOURCE_IN_THIS_PROGRAM").has_value());
}

}  // namespace
