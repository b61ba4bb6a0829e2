#pragma once
// Case-insensitive file-name style masks, shared by the request-line rules and the web module.

#include <string_view>

namespace quillon {

// "*" is any run of characters, ASCII letter case ignored, the whole text must match.
bool MatchesMask(std::string_view aText, std::string_view aMask);

}  // namespace quillon
