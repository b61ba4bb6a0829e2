// Response helpers and request records over the HTTP Server API structures.
#include "httpapi/lumWebSocket_HTTPAPI.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>

namespace quillon {
namespace {

struct ReasonEntry {
  int code;
  const char* reason;
};

constexpr ReasonEntry kReasons[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {303, "See Other"},
    {304, "Not Modified"},
    {307, "Temporary Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {500, "Internal Server Error"},
    {503, "Service Unavailable"},
};

// The other registered phrases: a status line never repeats its code as its reason.
constexpr ReasonEntry kMoreReasons[] = {
    {102, "Processing"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {207, "Multi-Status"},
    {308, "Permanent Redirect"},
    {402, "Payment Required"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Payload Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {421, "Misdirected Request"},
    {422, "Unprocessable Content"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {507, "Insufficient Storage"},
    {511, "Network Authentication Required"},
};

// A code nobody registered still gets a phrase: the name of its class.
const char* ClassReason(int aCode) {
  switch (aCode / 100) {
    case 1: return "Informational";
    case 2: return "Success";
    case 3: return "Redirection";
    case 4: return "Client Error";
    case 5: return "Server Error";
    default: return "Unknown";
  }
}

// Response header slots by id, each with its colon. Slot 1 is written so that no header line
// can name it: a "Connection:" line must travel as an unknown header.
constexpr std::array<std::string_view, HttpHeaderResponseMaximum> kKnownResponseHeaders = {
    "CACHE-CONTROL:",    "_CONNECTION:",      "DATE:",           "KEEP-ALIVE:",
    "PRAGMA:",           "TRAILER:",          "TRANSFER-ENCODING:", "UPGRADE:",
    "VIA:",              "WARNING:",          "ALLOW:",          "CONTENT-LENGTH:",
    "CONTENT-TYPE:",     "CONTENT-ENCODING:", "CONTENT-LANGUAGE:", "CONTENT-LOCATION:",
    "CONTENT-MD5:",      "CONTENT-RANGE:",    "EXPIRES:",        "LAST-MODIFIED:",
    "ACCEPT-RANGES:",    "AGE:",              "ETAG:",           "LOCATION:",
    "PROXY-AUTHENTICATE:", "RETRY-AFTER:",    "SERVER:",         "SET-COOKIE:",
    "VARY:",             "WWW-AUTHENTICATE:",
};

constexpr std::array<std::string_view, HttpHeaderRequestMaximum> kKnownRequestHeaders = {
    "Cache-Control",     "Connection",        "Date",
    "Keep-Alive",        "Pragma",            "Trailer",
    "Transfer-Encoding", "Upgrade",           "Via",
    "Warning",           "Allow",             "Content-Length",
    "Content-Type",      "Content-Encoding",  "Content-Language",
    "Content-Location",  "Content-MD5",       "Content-Range",
    "Expires",           "Last-Modified",     "Accept",
    "Accept-Charset",    "Accept-Encoding",   "Accept-Language",
    "Authorization",     "Cookie",            "Expect",
    "From",              "Host",              "If-Match",
    "If-Modified-Since", "If-None-Match",     "If-Range",
    "If-Unmodified-Since", "Max-Forwards",    "Proxy-Authorization",
    "Referer",           "Range",             "TE",
    "Translate",         "User-Agent",
};

// Verbs HttpVerbOPTIONS .. HttpVerbSEARCH.
constexpr std::array<std::string_view, HttpVerbSEARCH - HttpVerbOPTIONS + 1> kVerbNames = {
    "OPTIONS", "GET",       "HEAD",      "POST",  "PUT",  "DELETE", "TRACE",  "CONNECT", "TRACK",
    "MOVE",    "COPY",      "PROPFIND",  "PROPPATCH", "MKCOL", "LOCK", "UNLOCK", "SEARCH",
};

constexpr std::size_t kUnknownHeadersInitial = 64;
constexpr std::size_t kUnknownHeadersGrowth = 32;
// Bodies are read in steps of this size so that memory follows the bytes that arrive, not
// the length a client announces.
constexpr std::size_t kBodyReadStep = 1 << 20;

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int KnownResponseSlot(std::string_view line) {
  for (std::size_t slot = 0; slot < kKnownResponseHeaders.size(); ++slot) {
    // Not even "_Connection:" may fill the connection slot: the engine owns that header.
    if (slot == HttpHeaderConnection) continue;
    const std::string_view entry = kKnownResponseHeaders[slot];
    if (line.size() < entry.size()) continue;
    bool match = true;
    for (std::size_t k = 0; k < entry.size() && match; ++k) match = AsciiUpper(line[k]) == entry[k];
    if (match) return static_cast<int>(slot);
  }
  return -1;
}

// Value after the colon and any spaces, up to the first control character.
std::string_view HeaderValue(std::string_view line, std::size_t colon) {
  std::size_t start = colon + 1;
  while (start < line.size() && line[start] == ' ') ++start;
  std::size_t end = start;
  while (end < line.size() && static_cast<unsigned char>(line[end]) >= 32) ++end;
  return line.substr(start, end - start);
}

void AppendUtf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// "%uXXXX" at s[i], or -1.
int PercentU(std::string_view s, std::size_t i) {
  if (i + 6 > s.size() || s[i] != '%' || (s[i + 1] != 'u' && s[i + 1] != 'U')) return -1;
  int value = 0;
  for (std::size_t k = i + 2; k < i + 6; ++k) {
    const int digit = HexValue(s[k]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

// "%XX" gives that byte, "%uXXXX" the UTF-8 bytes of that UTF-16 unit (a surrogate pair
// written as two escapes gives its one character, a lone surrogate U+FFFD); a malformed escape
// is dropped; everything else, "+" included, passes through.
std::string UrlDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] != '%') {
      out += s[i++];
      continue;
    }
    if (const int unit = PercentU(s, i); unit >= 0) {
      i += 6;
      unsigned cp = static_cast<unsigned>(unit);
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        const int low = PercentU(s, i);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<unsigned>(low) - 0xDC00);
          i += 6;
        } else {
          cp = 0xFFFD;
        }
      } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
        cp = 0xFFFD;
      }
      AppendUtf8(out, cp);
      continue;
    }
    if (i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 3;
      continue;
    }
    i += std::min<std::size_t>(3, s.size() - i);
  }
  return out;
}

std::string_view KnownValue(const HTTP_REQUEST_V2& aRequest, int aId) {
  const HTTP_KNOWN_HEADER& header = aRequest.Headers.KnownHeaders[aId];
  if (header.pRawValue == nullptr || header.RawValueLength == 0) return {};
  return {header.pRawValue, header.RawValueLength};
}

// Decimal digits after leading blanks, up to the first other character; no digit gives 0.
// nullopt when the number does not fit a signed 32-bit integer.
std::optional<std::int32_t> ParseContentLength(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  std::int64_t number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    number = number * 10 + (value[i] - '0');
    if (number > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  }
  return static_cast<std::int32_t>(number);
}

std::string ReadBody(HANDLE aReqQueue, HTTP_REQUEST_ID aRequestId, std::size_t aLength) {
  std::string body;
  std::size_t received = 0;
  while (received < aLength) {
    const std::size_t step = std::min(aLength - received, kBodyReadStep);
    body.resize(received + step);
    ULONG bytes = 0;
    const ULONG result =
        HttpReceiveRequestEntityBody(aReqQueue, aRequestId,
                                     HTTP_RECEIVE_REQUEST_ENTITY_BODY_FLAG_FILL_BUFFER,
                                     body.data() + received, static_cast<ULONG>(step), &bytes,
                                     nullptr);
    received += std::min<std::size_t>(bytes, step);
    // ERROR_HANDLE_EOF ends a short body; any other failure ends the read with what came.
    if (result != NO_ERROR || bytes == 0) break;
  }
  body.resize(received);
  return body;
}

}  // namespace

void SetStatus(HTTP_RESPONSE_V2& aResponse, int aCode, std::string& aReason) {
  aReason = ClassReason(aCode);
  bool found = false;
  for (const ReasonEntry& entry : kReasons) {
    if (entry.code == aCode) {
      aReason = entry.reason;
      found = true;
      break;
    }
  }
  for (const ReasonEntry& entry : kMoreReasons) {
    if (found) break;
    if (entry.code == aCode) {
      aReason = entry.reason;
      found = true;
    }
  }
  aResponse.StatusCode = static_cast<USHORT>(aCode);
  aResponse.pReason = aReason.c_str();
  aResponse.ReasonLength = static_cast<USHORT>(aReason.size());
}

void SetBody(HTTP_RESPONSE_V2& aResponse, HTTP_DATA_CHUNK& aChunk, const std::string& aBody,
             const std::string& aContentType) {
  if (aBody.empty()) return;
  aChunk = HTTP_DATA_CHUNK{};
  aChunk.DataChunkType = HttpDataChunkFromMemory;
  aChunk.FromMemory.pBuffer = const_cast<char*>(aBody.data());
  aChunk.FromMemory.BufferLength = static_cast<ULONG>(aBody.size());
  aResponse.EntityChunkCount = 1;
  aResponse.pEntityChunks = &aChunk;
  HTTP_KNOWN_HEADER& type = aResponse.Headers.KnownHeaders[HttpHeaderContentType];
  type.pRawValue = aContentType.c_str();
  type.RawValueLength = static_cast<USHORT>(aContentType.size());
}

void SetHeaders(HTTP_RESPONSE_V2& aResponse, const std::string& aHeaders,
                std::vector<HTTP_UNKNOWN_HEADER>& aUnknown) {
  if (aUnknown.size() < kUnknownHeadersInitial) aUnknown.resize(kUnknownHeadersInitial);
  std::size_t count = 0;
  const std::string_view text(aHeaders);
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
    std::size_t end = pos;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    const std::string_view line = text.substr(pos, end - pos);
    pos = end;
    if (line.empty()) continue;

    if (const int slot = KnownResponseSlot(line); slot >= 0) {
      const std::string_view value = HeaderValue(line, kKnownResponseHeaders[slot].size() - 1);
      if (value.size() > std::numeric_limits<USHORT>::max()) continue;
      HTTP_KNOWN_HEADER& known = aResponse.Headers.KnownHeaders[slot];
      known.pRawValue = value.data();
      known.RawValueLength = static_cast<USHORT>(value.size());
      continue;
    }
    std::size_t colon = 0;
    while (colon < line.size() && line[colon] != ':' &&
           static_cast<unsigned char>(line[colon]) >= 32)
      ++colon;
    if (colon >= line.size() || line[colon] != ':') continue;
    const std::string_view value = HeaderValue(line, colon);
    // A length the record cannot carry would be cut; such a line is left out instead.
    if (colon > std::numeric_limits<USHORT>::max() ||
        value.size() > std::numeric_limits<USHORT>::max() ||
        count >= std::numeric_limits<USHORT>::max())
      continue;
    HTTP_UNKNOWN_HEADER& unknown = aUnknown[count++];
    unknown.pName = line.data();
    unknown.NameLength = static_cast<USHORT>(colon);
    unknown.pRawValue = value.data();
    unknown.RawValueLength = static_cast<USHORT>(value.size());
    if (aUnknown.size() - count <= 1) aUnknown.resize(aUnknown.size() + kUnknownHeadersGrowth);
  }
  aResponse.Headers.pUnknownHeaders = aUnknown.data();
  aResponse.Headers.UnknownHeaderCount = static_cast<USHORT>(count);
}

std::string_view KnownRequestHeaderName(int aId) {
  if (aId < 0 || aId >= HttpHeaderRequestMaximum) return {};
  return kKnownRequestHeaders[static_cast<std::size_t>(aId)];
}

THttpServerRequest GetHttpServerRequest(const HTTP_REQUEST_V2& aRequest, HANDLE aReqQueue,
                                        HTTP_REQUEST_ID aRequestId, PHTTP_LOG_DATA aLogData) {
  THttpServerRequest info;
  info.ConnectionId = aRequest.ConnectionId;

  const std::string_view raw =
      aRequest.pRawUrl ? std::string_view(aRequest.pRawUrl, aRequest.RawUrlLength)
                       : std::string_view();
  const std::size_t question = raw.find('?');
  info.Document = UrlDecode(raw.substr(0, question));
  if (question != std::string_view::npos) info.QueryParams = UrlDecode(raw.substr(question + 1));

  if (aRequest.Verb >= HttpVerbOPTIONS && aRequest.Verb <= HttpVerbSEARCH) {
    info.Method = kVerbNames[static_cast<std::size_t>(aRequest.Verb - HttpVerbOPTIONS)];
  } else if (aRequest.pUnknownVerb != nullptr) {
    info.Method.assign(aRequest.pUnknownVerb, aRequest.UnknownVerbLength);
  }

  info.ContentType = KnownValue(aRequest, HttpHeaderContentType);
  info.AcceptEncoding = KnownValue(aRequest, HttpHeaderAcceptEncoding);
  info.Cookies = KnownValue(aRequest, HttpHeaderCookie);

  const std::optional<std::int32_t> length =
      ParseContentLength(KnownValue(aRequest, HttpHeaderContentLength));
  if (!length) {
    // Beyond what the record can describe: refuse rather than read a body of the wrong size.
    SendHttpStatusAndDisconnect(aReqQueue, aRequestId, 413, aLogData);
    throw TlumWSRequestTooLarge("Request Entity Too Large");
  }
  info.ContentLength = *length;

  for (int id = 0; id < HttpHeaderRequestMaximum; ++id) {
    const std::string_view value = KnownValue(aRequest, id);
    if (value.empty()) continue;
    info.Headers.append(kKnownRequestHeaders[static_cast<std::size_t>(id)]);
    info.Headers.append(": ");
    info.Headers.append(value);
    info.Headers.append("\r\n");
  }

  if (info.ContentLength > 0)
    info.Content = ReadBody(aReqQueue, aRequestId, static_cast<std::size_t>(info.ContentLength));
  return info;
}

ULONG SendHttpStatusAndDisconnect(HANDLE aReqQueue, HTTP_REQUEST_ID aRequestId, int aCode,
                                  PHTTP_LOG_DATA aLogData) {
  HTTP_RESPONSE_V2 response{};
  response.Version = {1, 1};
  std::string reason;
  SetStatus(response, aCode, reason);
  const std::string headers = std::string("Server: ") + lumServerName;
  std::vector<HTTP_UNKNOWN_HEADER> unknown;
  SetHeaders(response, headers, unknown);
  return HttpSendHttpResponse(aReqQueue, aRequestId, HTTP_SEND_RESPONSE_FLAG_DISCONNECT,
                              &response, nullptr, nullptr, nullptr, 0, nullptr, aLogData);
}

}  // namespace quillon
