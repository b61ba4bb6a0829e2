// UTF-8 checks on the reader's hot path: well-formedness as RFC 3629 defines it, and the
// length of a UTF-8 text in UTF-16 code units (the unit the streaming writes compare
// sizes in). Not a converter.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillon {

// True for well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF,
// no sequence cut off at the end.
bool IsValidUTF8(const unsigned char* aData, std::size_t aSize);
inline bool IsValidUTF8(std::string_view aText) {
  return IsValidUTF8(reinterpret_cast<const unsigned char*>(aText.data()), aText.size());
}

// The same check over a text that arrives in pieces: a piece may end inside a sequence, and
// the first byte that can no longer begin or continue a valid text fails at once.
class TUTF8Validator {
 public:
  // False as soon as the bytes so far cannot be the start of well-formed UTF-8.
  bool Feed(const unsigned char* aData, std::size_t aSize);
  bool Feed(std::string_view aText) {
    return Feed(reinterpret_cast<const unsigned char*>(aText.data()), aText.size());
  }
  // True when the text fed so far ends on a sequence boundary.
  bool Complete() const { return FNeed == 0; }
  void Reset() {
    FNeed = 0;
    FLow = 0x80;
    FHigh = 0xBF;
  }

 private:
  unsigned char FNeed = 0;     // continuation bytes still due
  unsigned char FLow = 0x80;   // range of the next continuation byte
  unsigned char FHigh = 0xBF;
};

// Code units of the text in UTF-16: one per sequence, two for a four-byte sequence.
std::size_t UTF16Length(std::string_view aText);

}  // namespace quillon
