// Response heads. Header text from the caller is checked for CR, LF and NUL so a value can
// never start a second header or a second response.
#include "platform/httpapi/ResponseWriter.h"

#include <charconv>
#include <ctime>

#include "platform/httpapi/HttpParser.h"

namespace quillon::platform::detail {
namespace {

bool SafeText(const char* p, std::size_t n) {
  if (n && !p) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = p[i];
    if (c == '\r' || c == '\n' || c == '\0') return false;
  }
  return true;
}

bool SafeName(const char* p, std::size_t n) {
  if (n == 0 || !p) return false;
  for (std::size_t i = 0; i < n; ++i) {
    auto c = static_cast<unsigned char>(p[i]);
    if (c <= 0x20 || c == ':' || c >= 0x7F) return false;
  }
  return true;
}

bool NameIs(const char* p, std::size_t n, std::string_view name) {
  if (n != name.size()) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char a = p[i], b = name[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
    if (a != b) return false;
  }
  return true;
}

bool ContainsToken(std::string_view v, std::string_view token) {
  for (std::size_t i = 0; i + token.size() <= v.size(); ++i) {
    if (NameIs(v.data() + i, token.size(), token)) return true;
  }
  return false;
}

void AppendNumber(std::string& out, std::uint64_t n) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, r.ptr);
}

}  // namespace

const char* ReasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 204: return "No Content";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 417: return "Expectation Failed";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
  }
}

std::string_view HttpDateNow() {
  thread_local std::time_t cachedSecond = 0;
  thread_local char text[40];
  thread_local std::size_t length = 0;
  std::time_t now = std::time(nullptr);
  if (now != cachedSecond) {
    std::tm tm{};
    gmtime_r(&now, &tm);
    length = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    cachedSecond = now;
  }
  return {text, length};
}

ULONG BuildResponseHead(const HTTP_RESPONSE_V2& r, ULONG flags, const ResponseContext& ctx,
                        std::uint64_t firstChunkBytes, std::string& out, ResponsePlan& plan) {
  if (r.StatusCode < 100 || r.StatusCode > 999) return ERROR_INVALID_PARAMETER;
  if (!SafeText(r.pReason, r.ReasonLength)) return ERROR_INVALID_PARAMETER;
  if (r.ResponseInfoCount != 0) return ERROR_INVALID_PARAMETER;
  const HTTP_RESPONSE_HEADERS& h = r.Headers;
  for (int i = 0; i < HttpHeaderResponseMaximum; ++i) {
    if (!SafeText(h.KnownHeaders[i].pRawValue, h.KnownHeaders[i].RawValueLength))
      return ERROR_INVALID_PARAMETER;
  }
  if (h.UnknownHeaderCount && !h.pUnknownHeaders) return ERROR_INVALID_PARAMETER;
  for (USHORT i = 0; i < h.UnknownHeaderCount; ++i) {
    const HTTP_UNKNOWN_HEADER& u = h.pUnknownHeaders[i];
    if (!SafeName(u.pName, u.NameLength) || !SafeText(u.pRawValue, u.RawValueLength))
      return ERROR_INVALID_PARAMETER;
  }

  const bool moreData = flags & HTTP_SEND_RESPONSE_FLAG_MORE_DATA;
  const bool disconnect = flags & HTTP_SEND_RESPONSE_FLAG_DISCONNECT;
  const bool opaque = (flags & HTTP_SEND_RESPONSE_FLAG_OPAQUE) && r.StatusCode == 101;
  const int status = r.StatusCode;

  // Headers the caller set that decide the framing.
  const HTTP_KNOWN_HEADER& cl = h.KnownHeaders[HttpHeaderContentLength];
  const HTTP_KNOWN_HEADER& te = h.KnownHeaders[HttpHeaderTransferEncoding];
  bool callerLength = cl.RawValueLength > 0;
  std::uint64_t callerLengthValue = 0;
  if (callerLength) {
    auto res = std::from_chars(cl.pRawValue, cl.pRawValue + cl.RawValueLength, callerLengthValue);
    if (res.ec != std::errc{} || res.ptr != cl.pRawValue + cl.RawValueLength)
      return ERROR_INVALID_PARAMETER;
  }
  bool callerChunked = te.RawValueLength > 0;
  bool callerClose = false;
  const HTTP_KNOWN_HEADER& conn = h.KnownHeaders[HttpHeaderConnection];
  bool callerConnection = conn.RawValueLength > 0;
  if (callerConnection) callerClose = ContainsToken({conn.pRawValue, conn.RawValueLength}, "close");
  for (USHORT i = 0; i < h.UnknownHeaderCount; ++i) {
    const HTTP_UNKNOWN_HEADER& u = h.pUnknownHeaders[i];
    if (NameIs(u.pName, u.NameLength, "Connection")) {
      callerConnection = true;
      if (ContainsToken({u.pRawValue, u.RawValueLength}, "close")) callerClose = true;
    } else if (NameIs(u.pName, u.NameLength, "Content-Length") ||
               NameIs(u.pName, u.NameLength, "Transfer-Encoding")) {
      return ERROR_INVALID_PARAMETER;  // framing headers go in their known slots
    }
  }

  plan = ResponsePlan{};
  plan.final = !moreData;
  bool noBody = (status < 200 && !opaque) || status == 204 || status == 304;
  bool writeLength = false;
  if (opaque) {
    plan.delimit = Delimit::Opaque;
  } else if (noBody) {
    plan.delimit = Delimit::NoBody;
  } else if (!moreData) {
    plan.delimit = ctx.headRequest ? Delimit::NoBody : Delimit::Length;
    plan.bodyLength = firstChunkBytes;
    // A HEAD answer may announce the length of the body it leaves out.
    writeLength = !(ctx.headRequest && callerLength);
    if (callerChunked) plan.delimit = ctx.headRequest ? Delimit::NoBody : Delimit::AppChunked;
  } else if (callerLength) {
    plan.delimit = ctx.headRequest ? Delimit::NoBody : Delimit::Length;
    plan.bodyLength = callerLengthValue;
  } else if (callerChunked) {
    plan.delimit = ctx.headRequest ? Delimit::NoBody : Delimit::AppChunked;
  } else {
    plan.delimit = ctx.headRequest ? Delimit::NoBody : Delimit::Close;
  }
  plan.keepAlive = ctx.clientKeepAlive && !disconnect && !callerClose &&
                   plan.delimit != Delimit::Close && plan.delimit != Delimit::Opaque;

  out.append("HTTP/1.1 ");
  AppendNumber(out, static_cast<std::uint64_t>(status));
  out.push_back(' ');
  if (r.ReasonLength) {
    out.append(r.pReason, r.ReasonLength);
  } else {
    out.append(ReasonPhrase(status));
  }
  out.append("\r\n");
  for (int i = 0; i < HttpHeaderResponseMaximum; ++i) {
    const HTTP_KNOWN_HEADER& k = h.KnownHeaders[i];
    if (!k.RawValueLength) continue;
    if (i == HttpHeaderContentLength && writeLength) continue;  // ours replaces it
    if (i == HttpHeaderTransferEncoding && plan.delimit == Delimit::Length && writeLength)
      continue;
    out.append(KnownResponseHeaderName(i));
    out.append(": ");
    out.append(k.pRawValue, k.RawValueLength);
    out.append("\r\n");
  }
  for (USHORT i = 0; i < h.UnknownHeaderCount; ++i) {
    const HTTP_UNKNOWN_HEADER& u = h.pUnknownHeaders[i];
    out.append(u.pName, u.NameLength);
    out.append(": ");
    out.append(u.pRawValue, u.RawValueLength);
    out.append("\r\n");
  }
  if (!h.KnownHeaders[HttpHeaderDate].RawValueLength) {
    out.append("Date: ");
    out.append(HttpDateNow());
    out.append("\r\n");
  }
  if (writeLength && (plan.delimit == Delimit::Length || (ctx.headRequest && !noBody))) {
    out.append("Content-Length: ");
    AppendNumber(out, firstChunkBytes);
    out.append("\r\n");
  }
  if (!callerConnection && !opaque) {
    if (!plan.keepAlive) {
      out.append("Connection: close\r\n");
    } else if (ctx.requestMinor == 0) {
      out.append("Connection: keep-alive\r\n");
    }
  }
  out.append("\r\n");
  return NO_ERROR;
}

std::string EngineResponse(int status, bool keepAlive) {
  std::string body = "<!DOCTYPE html><html><head><title>";
  body += ReasonPhrase(status);
  body += "</title></head><body><h2>";
  body += ReasonPhrase(status);
  body += "</h2><hr><p>HTTP Error ";
  body += std::to_string(status);
  body += "</p></body></html>";
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
  out += "Content-Type: text/html; charset=us-ascii\r\nServer: Quillon-HTTPAPI/2.0\r\nDate: ";
  out += HttpDateNow();
  out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  out += keepAlive ? "\r\n" : "Connection: close\r\n\r\n";
  out += body;
  return out;
}

}  // namespace quillon::platform::detail
