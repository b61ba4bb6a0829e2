// Request-line and header-line tests and their text helpers.
#include "connection/lumWebSocket_RequestLines.h"

#include "connection/lumWebSocket_Hash.h"

namespace quillon {

namespace {

constexpr char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

const std::string& FirstLine(const TlumHeaderLines& aHeaders) {
  static const std::string kEmpty;
  return aHeaders.empty() ? kEmpty : aHeaders.front();
}

bool AnyLineContains(const TlumHeaderLines& aHeaders, std::string_view aSub) {
  for (const std::string& line : aHeaders) {
    if (ContainsText(line, aSub)) return true;
  }
  return false;
}

// The document of a request line: from the fifth character up to the first " HTTP".
std::string DocumentOf(std::string_view aLine) {
  if (aLine.size() <= 4) return {};
  std::string_view rest = aLine.substr(4);
  const auto http = aLine.find(" HTTP");
  if (http != std::string_view::npos) rest = aLine.substr(4, http >= 4 ? http - 4 : 0);
  return std::string(Trim(rest));
}

// The rest of a line after a marker it is assumed to begin with.
std::string After(std::string_view aLine, std::size_t aMarkerLength) {
  return aLine.size() > aMarkerLength ? std::string(aLine.substr(aMarkerLength)) : std::string();
}

}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::size_t PosText(std::string_view aText, std::string_view aSub) {
  if (aSub.empty()) return 0;
  if (aSub.size() > aText.size()) return std::string_view::npos;
  const char first = Lower(aSub[0]);
  for (std::size_t i = 0; i + aSub.size() <= aText.size(); ++i) {
    if (Lower(aText[i]) != first) continue;
    if (SameText(aText.substr(i, aSub.size()), aSub)) return i;
  }
  return std::string_view::npos;
}

bool ContainsText(std::string_view aText, std::string_view aSub) {
  return PosText(aText, aSub) != std::string_view::npos;
}

std::vector<std::string> SplitDelimited(std::string_view aText) {
  std::vector<std::string> out;
  if (aText.empty()) return out;
  std::size_t i = 0;
  for (;;) {
    std::string item;
    if (i < aText.size() && aText[i] == '"') {
      ++i;
      while (i < aText.size()) {
        if (aText[i] == '"') {
          if (i + 1 < aText.size() && aText[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += aText[i++];
      }
      // Anything between the closing quote and the next comma belongs to the item.
      while (i < aText.size() && aText[i] != ',') item += aText[i++];
    } else {
      while (i < aText.size() && aText[i] != ',') item += aText[i++];
    }
    out.push_back(std::move(item));
    if (i >= aText.size()) break;
    ++i;  // the comma
    if (i == aText.size()) {
      out.emplace_back();
      break;
    }
  }
  return out;
}

bool IsHTTP1Request(const TlumHeaderLines& aHeaders) {
  return MatchesMask(FirstLine(aHeaders), "*HTTP/1.*");
}

std::string GetRequestLine(const TlumHeaderLines& aHeaders) {
  const std::string& line = FirstLine(aHeaders);
  return MatchesMask(line, "GET *") ? line : std::string();
}

std::string GetRequestDocument(const TlumHeaderLines& aHeaders) {
  return DocumentOf(GetRequestLine(aHeaders));
}

std::string GetPostLine(const TlumHeaderLines& aHeaders) {
  const std::string& line = FirstLine(aHeaders);
  return MatchesMask(line, "POST *") ? line : std::string();
}

std::string GetPostDocument(const TlumHeaderLines& aHeaders) {
  return DocumentOf(GetPostLine(aHeaders));
}

std::string GetResourceName(std::string_view aRequestLine) {
  const std::string document = DocumentOf(aRequestLine);
  const auto slash = document.rfind('/');
  return slash == std::string::npos ? document : document.substr(slash + 1);
}

bool IsWebSocketRequest(const TlumHeaderLines& aHeaders) {
  return IsHTTP1Request(aHeaders) && !GetRequestLine(aHeaders).empty() &&
         AnyLineContains(aHeaders, "Upgrade: websocket");
}

bool IsAuthSessionRequest(const TlumHeaderLines& aHeaders) {
  return ContainsText(GetRequestLine(aHeaders), "GET /lum/req/auth/session/");
}

bool IsAuthURLRequest(const TlumHeaderLines& aHeaders) {
  return ContainsText(GetRequestLine(aHeaders), "GET /lum/auth/url/");
}

bool IsSessionRequest(const TlumHeaderLines& aHeaders) {
  return ContainsText(GetRequestLine(aHeaders), "GET /lum/auth/session/");
}

bool IsXHRRequest(const TlumHeaderLines& aHeaders) {
  return MatchesMask(GetPostLine(aHeaders), "POST /lum/xhr/*");
}

bool IsProtocolPostRequest(const TlumHeaderLines& aHeaders) {
  return MatchesMask(GetPostLine(aHeaders), "POST /lum/protocol/*");
}

bool IsFlashPolicyRequest(const TlumHeaderLines& aHeaders) {
  return FirstLine(aHeaders) == "<policy-file-request/>";
}

bool IsEventStreamRequest(const TlumHeaderLines& aHeaders) {
  for (const std::string& line : aHeaders) {
    if (MatchesMask(line, "Accept: text/event-stream")) return true;
  }
  return false;
}

bool IsWatchDogMonitor(const TlumHeaderLines& aHeaders, std::string_view aMonitor) {
  std::string mask = "*/";
  mask += aMonitor;
  mask += '*';
  return MatchesMask(FirstLine(aHeaders), mask);
}

bool HasBasicAuthorization(const TlumHeaderLines& aHeaders) {
  return AnyLineContains(aHeaders, "Authorization: Basic");
}

std::string GetBasicAuthorization(const TlumHeaderLines& aHeaders) {
  for (const std::string& line : aHeaders) {
    if (ContainsText(line, "Authorization: Basic")) return Base64Decode(After(line, 21));
  }
  return {};
}

bool HasAuthorization(const TlumHeaderLines& aHeaders) {
  return AnyLineContains(aHeaders, "Authorization: ") || AnyLineContains(aHeaders, "authorization=");
}

std::string GetBearerToken(const TlumHeaderLines& aHeaders) {
  for (const std::string& line : aHeaders) {
    if (ContainsText(line, "Authorization: Bearer")) return After(line, 22);
  }
  for (const std::string& line : aHeaders) {
    if (ContainsText(line, "authorization=bearer")) return After(line, 21);
  }
  return {};
}

}  // namespace quillon
