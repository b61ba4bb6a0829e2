// SHA-1 and standard Base64 (the published algorithms, from OpenSSL) for the WebSocket
// accept key and Basic credentials. Not a general crypto interface.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

std::array<std::uint8_t, 20> SHA1Digest(std::string_view aData);
// Alphabet A-Z a-z 0-9 + /, padded with "=".
std::string Base64Encode(std::string_view aData);
// Whitespace around the text is ignored; anything that is not Base64 gives an empty text.
std::string Base64Decode(std::string_view aText);

}  // namespace quillon
