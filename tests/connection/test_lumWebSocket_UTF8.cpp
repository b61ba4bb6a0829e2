// UTF-8 well-formedness and UTF-16 length.
#include <gtest/gtest.h>

#include "connection/lumWebSocket_UTF8.h"

namespace quillon {
namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

TEST(UTF8, Table) {
  struct {
    const char* Name;
    std::string Text;
    bool Valid;
  } cases[] = {
      {"empty", "", true},
      {"ASCII", "hello world, a longer ASCII run", true},
      {"two-byte", Bytes({0xC3, 0xA9}), true},
      {"three-byte", Bytes({0xE2, 0x82, 0xAC}), true},
      {"four-byte", Bytes({0xF0, 0x9F, 0x98, 0x80}), true},
      {"U+10FFFF", Bytes({0xF4, 0x8F, 0xBF, 0xBF}), true},
      {"U+D7FF", Bytes({0xED, 0x9F, 0xBF}), true},
      {"U+E000", Bytes({0xEE, 0x80, 0x80}), true},
      {"lone continuation", Bytes({0x80}), false},
      {"overlong two-byte C0", Bytes({0xC0, 0x80}), false},
      {"overlong two-byte C1", Bytes({0xC1, 0xBF}), false},
      {"overlong three-byte", Bytes({0xE0, 0x80, 0x80}), false},
      {"overlong four-byte", Bytes({0xF0, 0x80, 0x80, 0x80}), false},
      {"surrogate", Bytes({0xED, 0xA0, 0x80}), false},
      {"above U+10FFFF", Bytes({0xF4, 0x90, 0x80, 0x80}), false},
      {"F5 lead", Bytes({0xF5, 0x80, 0x80, 0x80}), false},
      {"FF", Bytes({0xFF}), false},
      {"cut two-byte", Bytes({0xC3}), false},
      {"cut three-byte", Bytes({0xE2, 0x82}), false},
      {"cut four-byte", Bytes({0xF0, 0x9F, 0x98}), false},
      {"lone F4 at the end", Bytes({'a', 0xF4}), false},
      {"bad continuation", Bytes({0xE2, 0x28, 0xA1}), false},
  };
  for (const auto& tc : cases) {
    EXPECT_EQ(IsValidUTF8(tc.Text), tc.Valid) << tc.Name;
    // The same sequence after ASCII runs of every length, so both the eight-byte path and
    // the byte path meet it at every alignment.
    for (std::size_t pad = 1; pad < 20; ++pad) {
      EXPECT_EQ(IsValidUTF8(std::string(pad, 'x') + tc.Text + std::string(pad % 9, 'y')),
                tc.Valid && (tc.Name != std::string("lone F4 at the end")))
          << tc.Name << " after " << pad;
    }
  }
}

// Fed a byte at a time, the validator fails on the first byte that rules out a valid text,
// and says whether the text so far ends on a sequence boundary.
TEST(UTF8, PieceByPieceFailsAtTheFirstImpossibleByte) {
  struct {
    const char* Name;
    std::string Text;
    int FailsAt;    // index of the byte that fails, -1 for none
    bool Complete;  // when it does not fail
  } cases[] = {
      {"ASCII then euro", "ab" + Bytes({0xE2, 0x82, 0xAC}), -1, true},
      {"four-byte", Bytes({0xF0, 0x9F, 0x98, 0x80}), -1, true},
      {"cut three-byte", Bytes({0xE2, 0x82}), -1, false},
      {"cut four-byte", "x" + Bytes({0xF4, 0x8F, 0xBF}), -1, false},
      {"lone continuation", "abc" + Bytes({0x80}), 3, false},
      {"C0 lead", Bytes({0xC0, 0x80}), 0, false},
      {"F5 lead", Bytes({0xF5}), 0, false},
      {"surrogate", Bytes({0xED, 0xA0, 0x80}), 1, false},
      {"overlong three-byte", Bytes({0xE0, 0x9F, 0x80}), 1, false},
      {"overlong four-byte", Bytes({0xF0, 0x8F, 0x80, 0x80}), 1, false},
      {"above U+10FFFF", Bytes({0xF4, 0x90, 0x80, 0x80}), 1, false},
      {"bad third byte", Bytes({0xE2, 0x82, 0x28}), 2, false},
      {"ASCII where a continuation is due", Bytes({0xF0, 0x9F, 0x98}) + "a", 3, false},
      {"valid text then a bad byte", std::string(20, 'z') + Bytes({0xCE, 0xBA, 0xFF, 'q'}), 22,
       false},
  };
  for (const auto& tc : cases) {
    TUTF8Validator v;
    int failedAt = -1;
    for (std::size_t i = 0; i < tc.Text.size() && failedAt < 0; ++i) {
      if (!v.Feed(std::string_view(tc.Text).substr(i, 1))) failedAt = static_cast<int>(i);
    }
    EXPECT_EQ(failedAt, tc.FailsAt) << tc.Name;
    if (tc.FailsAt < 0) {
      EXPECT_EQ(v.Complete(), tc.Complete) << tc.Name;
    }
    // Fed whole, and in two pieces split anywhere, it agrees with the one-shot check.
    for (std::size_t k = 0; k <= tc.Text.size(); ++k) {
      TUTF8Validator w;
      const bool ok = w.Feed(std::string_view(tc.Text).substr(0, k)) &&
                      w.Feed(std::string_view(tc.Text).substr(k)) && w.Complete();
      EXPECT_EQ(ok, IsValidUTF8(tc.Text)) << tc.Name << " split at " << k;
    }
  }
}

TEST(UTF8, UTF16Length) {
  EXPECT_EQ(UTF16Length(""), 0u);
  EXPECT_EQ(UTF16Length("abc"), 3u);
  EXPECT_EQ(UTF16Length(Bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC})), 2u);
  EXPECT_EQ(UTF16Length(Bytes({0xF0, 0x9F, 0x98, 0x80})), 2u);
}

}  // namespace
}  // namespace quillon
