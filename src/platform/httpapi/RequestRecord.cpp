// The request record in the caller's buffer, laid out like the real one: the fixed
// HTTP_REQUEST_V2 part first, then the arrays it points to (unknown headers, request info and
// its authentication entry, socket addresses), then every string, NUL-terminated. All
// pointers point into the same buffer.
#include <cstring>

#include "platform/httpapi/Engine.h"

namespace quillon::platform::detail {
namespace {

constexpr std::size_t Align(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

std::size_t UnknownCount(const Request& r) {
  std::size_t n = 0;
  for (const HeaderField& h : r.parsed.headers)
    if (h.knownId < 0) ++n;
  return n;
}

struct Sizes {
  std::size_t unknownAt, infoAt, authAt, addrAt, stringsAt, total;
};

Sizes Measure(const Request& r) {
  Sizes s{};
  std::size_t pos = Align(sizeof(HTTP_REQUEST_V2));
  s.unknownAt = pos;
  pos = Align(pos + UnknownCount(r) * sizeof(HTTP_UNKNOWN_HEADER));
  s.infoAt = pos;
  if (r.auth != Request::Auth::Off) pos = Align(pos + sizeof(HTTP_REQUEST_INFO));
  s.authAt = pos;
  if (r.auth != Request::Auth::Off) pos = Align(pos + sizeof(HTTP_REQUEST_AUTH_INFO));
  s.addrAt = pos;
  pos = Align(pos + 2 * sizeof(sockaddr_in6));  // room for either family
  s.stringsAt = pos;
  if (r.parsed.verb == HttpVerbUnknown) pos += r.parsed.methodLength + 1;
  pos += r.parsed.urlLength + 1;
  pos += r.cookedUrl.size() + 1;
  for (const Request::Text& t : r.known)
    if (t.size) pos += t.size + 1;
  for (const HeaderField& h : r.parsed.headers)
    if (h.knownId < 0) pos += h.nameLength + 1 + h.valueLength + 1;
  if (r.auth == Request::Auth::Success) pos += r.authDecoded.size() + 1;
  s.total = pos;
  return s;
}

}  // namespace

ULONG RequestRecordSize(const Request& request) {
  return static_cast<ULONG>(Measure(request).total);
}

void WriteRequestRecord(const Request& r, HTTP_REQUEST_V2* out) {
  Sizes s = Measure(r);
  auto* base = reinterpret_cast<char*>(out);
  std::memset(base, 0, s.stringsAt);
  char* strings = base + s.stringsAt;
  auto put = [&](const char* data, std::size_t size) -> PCSTR {
    char* at = strings;
    if (size) std::memcpy(at, data, size);
    at[size] = '\0';
    strings += size + 1;
    return at;
  };

  out->Flags = r.moreBody ? HTTP_REQUEST_FLAG_MORE_ENTITY_BODY_EXISTS : 0;
  out->ConnectionId = r.connectionId;
  out->RequestId = r.id;
  out->UrlContext = 0;
  out->Version = HTTP_VERSION{r.parsed.major, r.parsed.minor};
  out->Verb = r.parsed.verb;
  if (r.parsed.verb == HttpVerbUnknown) {
    out->UnknownVerbLength = static_cast<USHORT>(r.parsed.methodLength);
    out->pUnknownVerb = put(r.head.data() + r.parsed.methodOffset, r.parsed.methodLength);
  }
  out->RawUrlLength = static_cast<USHORT>(r.parsed.urlLength);
  out->pRawUrl = put(r.head.data() + r.parsed.urlOffset, r.parsed.urlLength);

  PCSTR full = put(r.cookedUrl.data(), r.cookedUrl.size());
  HTTP_COOKED_URL& c = out->CookedUrl;
  c.FullUrlLength = static_cast<USHORT>(r.cookedUrl.size());
  c.pFullUrl = full;
  c.HostLength = static_cast<USHORT>(r.hostLength);
  c.pHost = full + r.hostOffset;
  c.AbsPathLength = static_cast<USHORT>(r.pathLength);
  c.pAbsPath = full + r.pathOffset;
  c.QueryStringLength = static_cast<USHORT>(r.queryLength);
  c.pQueryString = r.queryLength ? full + r.queryOffset : nullptr;

  // sockaddr_in for IPv4 peers, sockaddr_in6 for IPv6 ones, each in a slot that fits both.
  char* remote = base + s.addrAt;
  char* local = remote + sizeof(sockaddr_in6);
  std::memcpy(remote, &r.remote, r.remote.length());
  std::memcpy(local, &r.local, r.local.length());
  out->Address.pRemoteAddress = reinterpret_cast<PSOCKADDR>(remote);
  out->Address.pLocalAddress = reinterpret_cast<PSOCKADDR>(local);

  for (int i = 0; i < HttpHeaderRequestMaximum; ++i) {
    const Request::Text& t = r.known[static_cast<std::size_t>(i)];
    if (!t.size) continue;
    out->Headers.KnownHeaders[i].RawValueLength = static_cast<USHORT>(t.size);
    out->Headers.KnownHeaders[i].pRawValue = put(t.data, t.size);
  }
  std::size_t unknown = UnknownCount(r);
  if (unknown) {
    auto* u = reinterpret_cast<HTTP_UNKNOWN_HEADER*>(base + s.unknownAt);
    out->Headers.pUnknownHeaders = u;
    out->Headers.UnknownHeaderCount = static_cast<USHORT>(unknown);
    for (const HeaderField& h : r.parsed.headers) {
      if (h.knownId >= 0) continue;
      u->NameLength = static_cast<USHORT>(h.nameLength);
      u->pName = put(r.head.data() + h.nameOffset, h.nameLength);
      u->RawValueLength = static_cast<USHORT>(h.valueLength);
      u->pRawValue = put(r.head.data() + h.valueOffset, h.valueLength);
      ++u;
    }
  }
  out->BytesReceived = r.head.size();

  if (r.auth != Request::Auth::Off) {
    auto* info = reinterpret_cast<HTTP_REQUEST_INFO*>(base + s.infoAt);
    auto* auth = reinterpret_cast<HTTP_REQUEST_AUTH_INFO*>(base + s.authAt);
    info->InfoType = HttpRequestInfoTypeAuth;
    info->InfoLength = sizeof(HTTP_REQUEST_AUTH_INFO);
    info->pInfo = auth;
    switch (r.auth) {
      case Request::Auth::Success:
        auth->AuthStatus = HttpAuthStatusSuccess;
        auth->AuthType = HttpRequestAuthTypeBasic;
        auth->PackedContextLength = static_cast<ULONG>(r.authDecoded.size());
        auth->PackedContext = const_cast<char*>(put(r.authDecoded.data(), r.authDecoded.size()));
        break;
      case Request::Auth::Failure:
        auth->AuthStatus = HttpAuthStatusFailure;
        auth->AuthType = HttpRequestAuthTypeBasic;
        break;
      default:
        auth->AuthStatus = HttpAuthStatusNotAuthenticated;
        auth->AuthType = HttpRequestAuthTypeNone;
        break;
    }
    out->RequestInfoCount = 1;
    out->pRequestInfo = info;
  }
}

}  // namespace quillon::platform::detail
