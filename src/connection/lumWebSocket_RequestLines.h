// Small tests over the request header list (the request line followed by one "Name: value"
// line per header) that the handshake, the request classifier, authentication and the
// bearer-token check share; and the text helpers they rest on (letter-case-free compare,
// file-name style masks, strict comma splitting). No parsing of HTTP itself.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/lumTextMask.h"

namespace quillon {

using TlumHeaderLines = std::vector<std::string>;

// ASCII letter case ignored.
bool SameText(std::string_view a, std::string_view b);
bool ContainsText(std::string_view aText, std::string_view aSub);
std::size_t PosText(std::string_view aText, std::string_view aSub);  // npos when absent
// Strict comma split: spaces stay part of the items; an item in double quotes is unquoted
// (a doubled quote inside stands for one) and may hold commas.
std::vector<std::string> SplitDelimited(std::string_view aText);

bool IsHTTP1Request(const TlumHeaderLines& aHeaders);
std::string GetRequestLine(const TlumHeaderLines& aHeaders);
// From the fifth character up to the first " HTTP", trimmed.
std::string GetRequestDocument(const TlumHeaderLines& aHeaders);
std::string GetPostLine(const TlumHeaderLines& aHeaders);
std::string GetPostDocument(const TlumHeaderLines& aHeaders);
// The part of the request line's document after its last "/".
std::string GetResourceName(std::string_view aRequestLine);
bool IsWebSocketRequest(const TlumHeaderLines& aHeaders);
bool IsAuthSessionRequest(const TlumHeaderLines& aHeaders);
bool IsAuthURLRequest(const TlumHeaderLines& aHeaders);
bool IsSessionRequest(const TlumHeaderLines& aHeaders);
bool IsXHRRequest(const TlumHeaderLines& aHeaders);
bool IsProtocolPostRequest(const TlumHeaderLines& aHeaders);
bool IsFlashPolicyRequest(const TlumHeaderLines& aHeaders);
bool IsEventStreamRequest(const TlumHeaderLines& aHeaders);
bool IsWatchDogMonitor(const TlumHeaderLines& aHeaders, std::string_view aMonitor);
bool HasBasicAuthorization(const TlumHeaderLines& aHeaders);
// "user:password", Base64-decoded; empty when there is none.
std::string GetBasicAuthorization(const TlumHeaderLines& aHeaders);
bool HasAuthorization(const TlumHeaderLines& aHeaders);
std::string GetBearerToken(const TlumHeaderLines& aHeaders);

}  // namespace quillon
