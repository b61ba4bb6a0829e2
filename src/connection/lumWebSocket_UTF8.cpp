// UTF-8 validation: ASCII runs are skipped eight bytes at a time, the rest is checked
// sequence by sequence against the RFC 3629 table.
#include "connection/lumWebSocket_UTF8.h"

#include <cstdint>
#include <cstring>

namespace quillon {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline std::uint64_t Load8(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline bool IsCont(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

bool IsValidUTF8(const unsigned char* p, std::size_t n) {
  const unsigned char* const end = p + n;
  while (p < end) {
    // ASCII fast path.
    while (end - p >= 8 && (Load8(p) & kHighBits) == 0) p += 8;
    if (p == end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    const std::size_t left = static_cast<std::size_t>(end - p);
    if (c >= 0xC2 && c <= 0xDF) {
      if (left < 2 || !IsCont(p[1])) return false;
      p += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (left < 3) return false;
      const unsigned char c1 = p[1];
      const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
      const unsigned char hi = c == 0xED ? 0x9F : 0xBF;
      if (c1 < lo || c1 > hi || !IsCont(p[2])) return false;
      p += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (left < 4) return false;
      const unsigned char c1 = p[1];
      const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
      const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
      if (c1 < lo || c1 > hi || !IsCont(p[2]) || !IsCont(p[3])) return false;
      p += 4;
    } else {
      return false;  // 80-C1 as a lead, F5-FF
    }
  }
  return true;
}

bool TUTF8Validator::Feed(const unsigned char* p, std::size_t n) {
  const unsigned char* const end = p + n;
  while (p < end) {
    if (FNeed == 0) {
      while (end - p >= 8 && (Load8(p) & kHighBits) == 0) p += 8;
      if (p == end) break;
      const unsigned char c = *p++;
      if (c < 0x80) continue;
      if (c >= 0xC2 && c <= 0xDF) {
        FNeed = 1;
      } else if (c >= 0xE0 && c <= 0xEF) {
        FNeed = 2;
        FLow = c == 0xE0 ? 0xA0 : 0x80;
        FHigh = c == 0xED ? 0x9F : 0xBF;
      } else if (c >= 0xF0 && c <= 0xF4) {
        FNeed = 3;
        FLow = c == 0xF0 ? 0x90 : 0x80;
        FHigh = c == 0xF4 ? 0x8F : 0xBF;
      } else {
        return false;
      }
      continue;
    }
    const unsigned char c = *p++;
    if (c < FLow || c > FHigh) return false;
    FLow = 0x80;
    FHigh = 0xBF;
    --FNeed;
  }
  return true;
}

std::size_t UTF16Length(std::string_view aText) {
  std::size_t units = 0;
  for (const char ch : aText) {
    const auto c = static_cast<unsigned char>(ch);
    if (!IsCont(c)) ++units;
    if (c >= 0xF0) ++units;  // a four-byte sequence is a surrogate pair
  }
  return units;
}

}  // namespace quillon
