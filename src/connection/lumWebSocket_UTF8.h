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

// Code units of the text in UTF-16: one per sequence, two for a four-byte sequence.
std::size_t UTF16Length(std::string_view aText);

}  // namespace quillon
