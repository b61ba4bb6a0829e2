// Request head parsing. The head is scanned for its end once per Feed from where the last
// scan stopped, then parsed in one pass; strict where leniency lets requests be smuggled
// (bare CR, folded lines, blanks before the colon, conflicting lengths).
#include "platform/httpapi/HttpParser.h"

#include <array>
#include <cstring>

namespace quillon::platform::detail {
namespace {

constexpr std::array<std::string_view, HttpHeaderRequestMaximum> kRequestHeaderNames = {
    "Cache-Control", "Connection", "Date", "Keep-Alive", "Pragma", "Trailer",
    "Transfer-Encoding", "Upgrade", "Via", "Warning", "Allow", "Content-Length",
    "Content-Type", "Content-Encoding", "Content-Language", "Content-Location", "Content-MD5",
    "Content-Range", "Expires", "Last-Modified", "Accept", "Accept-Charset", "Accept-Encoding",
    "Accept-Language", "Authorization", "Cookie", "Expect", "From", "Host", "If-Match",
    "If-Modified-Since", "If-None-Match", "If-Range", "If-Unmodified-Since", "Max-Forwards",
    "Proxy-Authorization", "Referer", "Range", "TE", "Translate", "User-Agent"};

constexpr std::array<std::string_view, HttpHeaderResponseMaximum> kResponseHeaderNames = {
    "Cache-Control", "Connection", "Date", "Keep-Alive", "Pragma", "Trailer",
    "Transfer-Encoding", "Upgrade", "Via", "Warning", "Allow", "Content-Length",
    "Content-Type", "Content-Encoding", "Content-Language", "Content-Location", "Content-MD5",
    "Content-Range", "Expires", "Last-Modified", "Accept-Ranges", "Age", "ETag", "Location",
    "Proxy-Authenticate", "Retry-After", "Server", "Set-Cookie", "Vary", "WWW-Authenticate"};

constexpr std::array<std::string_view, HttpVerbMaximum> kVerbs = {
    "", "", "", "OPTIONS", "GET", "HEAD", "POST", "PUT", "DELETE", "TRACE", "CONNECT", "TRACK",
    "MOVE", "COPY", "PROPFIND", "PROPPATCH", "MKCOL", "LOCK", "UNLOCK", "SEARCH"};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x += 32;
    if (y >= 'A' && y <= 'Z') y += 32;
    if (x != y) return false;
  }
  return true;
}

bool IsTokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != 0;
}

// Finds `token` in a comma-separated header value, ignoring case and blanks.
bool ListContains(std::string_view value, std::string_view token) {
  std::size_t pos = 0;
  while (pos <= value.size()) {
    std::size_t comma = value.find(',', pos);
    if (comma == std::string_view::npos) comma = value.size();
    std::string_view item = value.substr(pos, comma - pos);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (EqualsNoCase(item, token)) return true;
    pos = comma + 1;
  }
  return false;
}

}  // namespace

int KnownRequestHeaderId(std::string_view name) {
  for (std::size_t i = 0; i < kRequestHeaderNames.size(); ++i) {
    if (kRequestHeaderNames[i].size() == name.size() && EqualsNoCase(kRequestHeaderNames[i], name))
      return static_cast<int>(i);
  }
  return -1;
}

std::string_view KnownRequestHeaderName(int id) {
  return id >= 0 && id < HttpHeaderRequestMaximum ? kRequestHeaderNames[id] : std::string_view{};
}

std::string_view KnownResponseHeaderName(int id) {
  return id >= 0 && id < HttpHeaderResponseMaximum ? kResponseHeaderNames[id]
                                                   : std::string_view{};
}

HTTP_VERB VerbFromMethod(std::string_view method) {
  for (int v = HttpVerbOPTIONS; v < HttpVerbMaximum; ++v) {
    if (kVerbs[v] == method) return static_cast<HTTP_VERB>(v);  // methods are case-sensitive
  }
  return HttpVerbUnknown;
}

std::string_view MethodFromVerb(HTTP_VERB verb) {
  return verb >= HttpVerbOPTIONS && verb < HttpVerbMaximum ? kVerbs[verb] : std::string_view{};
}

void RequestHeadParser::Reset() {
  scanned_ = 0;
  sawRequestLineEnd_ = false;
  errorStatus_ = 0;
  head_ = RequestHead{};
}

ParseStatus RequestHeadParser::Feed(std::string_view data) {
  if (errorStatus_) return ParseStatus::Error;
  // Leading empty lines before a request are ignored (clients send them after bodies).
  std::size_t start = 0;
  while (start < data.size() && (data[start] == '\r' || data[start] == '\n')) ++start;
  if (start > 64) return Fail(400);
  if (scanned_ < start) scanned_ = start;

  // The limit counts from the request line, not from the blank lines before it.
  std::size_t limit = std::min(data.size(), start + limits_.maxHeadBytes + 4);
  for (std::size_t i = scanned_; i < limit; ++i) {
    char c = data[i];
    // Bytes no request head may hold fail at once, not when a line end that may never come
    // arrives (a NUL-terminated policy-file request has none): NUL anywhere, and any other
    // control character in the request line.
    const auto u = static_cast<unsigned char>(c);
    if (u == 0 || (!sawRequestLineEnd_ && ((u < 0x20 && c != '\r' && c != '\n') || u == 0x7F)))
      return Fail(400);
    if (c == '\r') {
      if (i + 1 >= data.size()) {
        scanned_ = i;  // look again once the next byte is here
        return ParseStatus::NeedMore;
      }
      if (data[i + 1] != '\n') return Fail(400);  // bare CR
      continue;
    }
    if (c != '\n') continue;
    if (!sawRequestLineEnd_) {
      sawRequestLineEnd_ = true;
      if (i - start > limits_.maxRequestLine) return Fail(414);
    }
    // End of head: LF followed by (CR) LF.
    std::size_t j = i + 1;
    if (j < data.size() && data[j] == '\r') ++j;
    if (j < data.size() && data[j] == '\n') {
      if (j + 1 - start > limits_.maxHeadBytes + 2) return Fail(431);
      return ParseHead(data, j + 1);
    }
    if (j >= data.size()) {
      scanned_ = i;  // the head may end right here; look again with more bytes
      return ParseStatus::NeedMore;
    }
  }
  scanned_ = limit;
  if (!sawRequestLineEnd_ && data.size() - start > limits_.maxRequestLine) return Fail(414);
  if (data.size() - start > limits_.maxHeadBytes) return Fail(431);
  return ParseStatus::NeedMore;
}

ParseStatus RequestHeadParser::ParseHead(std::string_view data, std::size_t end) {
  RequestHead& h = head_;
  h = RequestHead{};
  h.headLength = end;
  std::size_t pos = 0;
  while (data[pos] == '\r' || data[pos] == '\n') ++pos;

  auto lineEnd = [&](std::size_t from) {
    std::size_t e = data.find('\n', from);
    std::size_t contentEnd = (e > from && data[e - 1] == '\r') ? e - 1 : e;
    return std::pair{contentEnd, e + 1};
  };

  // Request line: method SP target SP version.
  auto [rlEnd, next] = lineEnd(pos);
  std::string_view line = data.substr(pos, rlEnd - pos);
  std::size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos || sp1 == 0) return Fail(400);
  std::size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return Fail(400);
  std::string_view method = line.substr(0, sp1);
  std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string_view version = line.substr(sp2 + 1);
  for (char c : method)
    if (!IsTokenChar(static_cast<unsigned char>(c))) return Fail(400);
  for (char c : target) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return Fail(400);
  }
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
      version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9')
    return Fail(400);
  if (version[5] != '1') return Fail(505);
  h.major = 1;
  h.minor = static_cast<USHORT>(version[7] - '0');
  if (h.minor > 1) h.minor = 1;  // a later 1.x speaks 1.1 to us
  if (target.front() != '/' && target != "*" && target.substr(0, 7) != "http://" &&
      target.substr(0, 8) != "https://")
    return Fail(400);
  h.methodOffset = static_cast<std::uint32_t>(pos);
  h.methodLength = static_cast<std::uint32_t>(method.size());
  h.urlOffset = static_cast<std::uint32_t>(pos + sp1 + 1);
  h.urlLength = static_cast<std::uint32_t>(target.size());
  h.verb = VerbFromMethod(method);

  // Header lines.
  bool sawHost = false, sawLength = false, sawChunked = false, sawTransferEncoding = false;
  bool connClose = false, connKeepAlive = false;
  pos = next;
  while (pos < end) {
    auto [contentEnd, after] = lineEnd(pos);
    if (contentEnd == pos) break;  // the empty line
    std::string_view hl = data.substr(pos, contentEnd - pos);
    if (hl.front() == ' ' || hl.front() == '\t') return Fail(400);  // obsolete folding
    std::size_t colon = hl.find(':');
    if (colon == std::string_view::npos || colon == 0) return Fail(400);
    std::string_view name = hl.substr(0, colon);
    for (char c : name)
      if (!IsTokenChar(static_cast<unsigned char>(c))) return Fail(400);
    std::size_t vs = colon + 1, ve = hl.size();
    while (vs < ve && (hl[vs] == ' ' || hl[vs] == '\t')) ++vs;
    while (ve > vs && (hl[ve - 1] == ' ' || hl[ve - 1] == '\t')) --ve;
    std::string_view value = hl.substr(vs, ve - vs);
    for (char c : value) {
      auto u = static_cast<unsigned char>(c);
      if ((u < 0x20 && u != '\t') || u == 0x7F) return Fail(400);
    }
    if (h.headers.size() >= limits_.maxHeaderCount) return Fail(431);
    if (name.size() > 0xFFFF || value.size() > 0xFFFF) return Fail(431);
    int id = KnownRequestHeaderId(name);
    h.headers.push_back(HeaderField{static_cast<std::uint32_t>(pos),
                                    static_cast<std::uint32_t>(name.size()),
                                    static_cast<std::uint32_t>(pos + vs),
                                    static_cast<std::uint32_t>(value.size()), id});
    switch (id) {
      case HttpHeaderHost:
        if (sawHost) return Fail(400);
        sawHost = true;
        break;
      case HttpHeaderContentLength: {
        if (value.empty()) return Fail(400);
        std::uint64_t n = 0;
        for (char c : value)
          if (c < '0' || c > '9') return Fail(400);
        // A well-formed length too big to count is a body too large, not a malformed head.
        if (value.size() > 18) return Fail(413);
        for (char c : value) n = n * 10 + static_cast<unsigned>(c - '0');
        if (sawLength && n != h.contentLength) return Fail(400);
        sawLength = true;
        h.contentLength = n;
        break;
      }
      case HttpHeaderTransferEncoding: {
        sawTransferEncoding = true;
        // Only "chunked", last, is understood; anything else cannot be framed.
        std::string_view v = value;
        std::size_t lastComma = v.rfind(',');
        std::string_view last = lastComma == std::string_view::npos ? v : v.substr(lastComma + 1);
        while (!last.empty() && (last.front() == ' ' || last.front() == '\t')) last.remove_prefix(1);
        if (!EqualsNoCase(last, "chunked") || lastComma != std::string_view::npos || sawChunked)
          return Fail(lastComma != std::string_view::npos || sawChunked ? 400 : 501);
        sawChunked = true;
        break;
      }
      case HttpHeaderConnection:
        if (ListContains(value, "close")) connClose = true;
        if (ListContains(value, "keep-alive")) connKeepAlive = true;
        if (ListContains(value, "upgrade")) h.upgrade = true;
        break;
      case HttpHeaderExpect:
        if (EqualsNoCase(value, "100-continue")) {
          h.expectContinue = true;
        } else {
          return Fail(417);
        }
        break;
      default:
        break;
    }
    pos = after;
  }
  if (sawTransferEncoding && sawLength) return Fail(400);
  if (h.minor >= 1 && !sawHost) return Fail(400);
  if (sawChunked) {
    if (h.minor == 0) return Fail(400);
    h.body = BodyKind::Chunked;
  } else if (sawLength && h.contentLength > 0) {
    h.body = BodyKind::Length;
  }
  h.keepAlive = h.minor >= 1 ? !connClose : (connKeepAlive && !connClose);
  if (h.body == BodyKind::None) h.expectContinue = false;
  return ParseStatus::Done;
}

}  // namespace quillon::platform::detail
