// Parsing of the upgrade request's header lines, and the accept key.
#include "connection/lumWebSocket_Handshake.h"

#include "connection/lumWebSocket_Hash.h"
#include "connection/lumWebSocket_RequestLines.h"
#include "util/lumWebSocket_Exception.h"

namespace quillon {

namespace {

enum TLineKind { lkGet, lkUpgrade, lkConnection, lkHost, lkKey, lkOrigin, lkProtocol, lkVersion,
                 lkExtensions, lkNone };

struct TLineRule {
  std::string_view Marker;
  std::string_view Mask;     // empty: the GET rule, tested apart
  std::string_view Message;  // empty: a mismatch stores nothing and raises nothing
};

// In the order a line is classified: the first marker it contains decides its kind.
constexpr TLineRule kRules[] = {
    {"GET /", "", "Error Decoding Header: GET"},
    {"Upgrade: ", "*websocket", "Error Decoding Header: WebSocket"},
    {"Connection: ", "*Upgrade*", "Error Decoding Header: Upgrade"},
    {"Host: ", "Host: *", "Error Decoding Header: Host"},
    {"Sec-WebSocket-Key: ", "Sec-WebSocket-Key: *", "Error Decoding Header: WebSocket-Key"},
    {"Origin: ", "Origin: *", "Error Decoding Header: Origin"},
    {"Sec-WebSocket-Protocol: ", "Sec-WebSocket-Protocol: *", ""},
    {"Sec-WebSocket-Version: ", "Sec-WebSocket-Version: *",
     "Error Decoding Header: WebSocket Version"},
    {"Sec-WebSocket-Extensions: ", "Sec-WebSocket-Extensions: *", ""},
};

bool GetLineMatches(std::string_view aLine) {
  const auto http = PosText(aLine, "HTTP");
  if (http == std::string_view::npos) return false;
  const auto version = aLine.find("HTTP/");
  return version == std::string_view::npos || aLine.substr(version + 5) != "1.0";
}

// A client's nonce is 16 bytes in Base64: 22 characters of the alphabet and "==". The
// spaces or tabs a header value may carry around it are not part of it.
bool KeyIsNonce(std::string_view aKey) {
  while (!aKey.empty() && (aKey.front() == ' ' || aKey.front() == '\t')) aKey.remove_prefix(1);
  while (!aKey.empty() && (aKey.back() == ' ' || aKey.back() == '\t')) aKey.remove_suffix(1);
  if (aKey.size() != 24 || !aKey.ends_with("==")) return false;
  for (const char ch : aKey.substr(0, 22)) {
    const bool inAlphabet = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                            (ch >= '0' && ch <= '9') || ch == '+' || ch == '/';
    if (!inAlphabet) return false;
  }
  return true;
}

}  // namespace

TlumWSHandShakeServer_Base::TlumWSHandShakeServer_Base(const std::vector<std::string>& aHeaders) {
  for (const std::string& line : aHeaders) {
    int kind = lkNone;
    for (int k = 0; k < lkNone; ++k) {
      if (ContainsText(line, kRules[k].Marker)) {
        kind = k;
        break;
      }
    }
    if (kind == lkNone) continue;
    const TLineRule& rule = kRules[kind];
    bool* flags[] = {&FIsGET,    &FIsUpgrade,   &FIsConnection, &FIsHost,      &FIsKey,
                     &FIsOrigin, &FIsProtocols, &FIsVersion,    &FIsExtensions};
    *flags[kind] = true;
    const bool matches = kind == lkGet ? GetLineMatches(line) : MatchesMask(line, rule.Mask);
    if (!matches) {
      if (rule.Message.empty()) continue;
      throw TlumWSException(std::string(rule.Message));
    }
    // The line is taken to begin with its marker.
    const std::string value =
        line.size() > rule.Marker.size() ? line.substr(rule.Marker.size()) : std::string();
    switch (kind) {
      case lkGet: {
        // From the fifth character up to the character before " HTTP".
        const auto http = line.find(" HTTP");
        FGet = line.substr(4, http == std::string::npos || http < 4 ? std::string::npos : http - 4);
        break;
      }
      case lkHost: FHost = value; break;
      case lkKey: FKey = value; break;
      case lkOrigin: FOrigin = value; break;
      case lkProtocol: FProtocols = value; break;
      case lkVersion: FVersion = value; break;
      case lkExtensions: FExtensions = value; break;
      default: break;
    }
  }
  if (!FIsKey || !KeyIsNonce(FKey)) throw TlumWSException("Error Decoding Header: WebSocket-Key");
}

std::string GetWSAccept(std::string_view aKey) {
  std::string text(aKey);
  text += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  const auto digest = SHA1Digest(text);
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

}  // namespace quillon
