// URL prefix parsing and matching, request target cooking.
#include "platform/httpapi/UrlPrefix.h"

#include <arpa/inet.h>

#include <vector>

namespace quillon::platform::detail {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Removes "." and ".." segments; false when ".." would climb above the root.
bool RemoveDotSegments(std::string& path) {
  std::vector<std::string_view> segments;
  std::string_view p = path;
  bool trailingSlash = false;
  std::size_t pos = 1;
  while (pos <= p.size()) {
    std::size_t slash = p.find('/', pos);
    if (slash == std::string_view::npos) slash = p.size();
    std::string_view seg = p.substr(pos, slash - pos);
    bool last = slash == p.size();
    if (seg == ".") {
      trailingSlash = last;
    } else if (seg == "..") {
      if (segments.empty()) return false;
      segments.pop_back();
      trailingSlash = last;
    } else {
      segments.push_back(seg);
      trailingSlash = false;
    }
    pos = slash + 1;
  }
  std::string out = "/";
  for (std::size_t i = 0; i < segments.size(); ++i) {
    out.append(segments[i]);
    if (i + 1 < segments.size()) out.push_back('/');
  }
  if (trailingSlash && out.size() > 1) out.push_back('/');
  path = std::move(out);
  return true;
}

}  // namespace

std::optional<UrlPrefix> ParseUrlPrefix(std::string_view url) {
  UrlPrefix prefix;
  std::string lower = Lower(url);
  std::string_view rest = lower;
  if (rest.substr(0, 7) == "http://") {
    rest.remove_prefix(7);
  } else if (rest.substr(0, 8) == "https://") {
    prefix.https = true;
    rest.remove_prefix(8);
  } else {
    return std::nullopt;
  }
  std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view authority = rest.substr(0, slash);
  std::string_view path = rest.substr(slash);
  if (authority.empty()) return std::nullopt;
  std::string_view host, portText;
  bool hasPort = false;
  bool bracketed = authority.front() == '[';
  if (bracketed) {
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      hasPort = true;
      portText = after.substr(1);
    }
  } else {
    std::size_t colon = authority.rfind(':');
    host = authority.substr(0, colon);
    if (colon != std::string_view::npos) {
      hasPort = true;
      portText = authority.substr(colon + 1);
    }
  }
  if (!hasPort) {
    prefix.port = prefix.https ? 443 : 80;
  } else {
    if (portText.empty() || portText.size() > 5) return std::nullopt;
    unsigned port = 0;
    for (char c : portText) {
      if (c < '0' || c > '9') return std::nullopt;
      port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (port == 0 || port > 65535) return std::nullopt;
    prefix.port = static_cast<std::uint16_t>(port);
  }
  if (host.empty()) return std::nullopt;
  std::string hostText;  // as the canonical form writes it
  if (bracketed) {
    in6_addr v6;
    if (inet_pton(AF_INET6, std::string(host).c_str(), &v6) != 1) return std::nullopt;
    prefix.hostKind = PrefixHost::Address;
    prefix.address = IpAddress::V6(v6);
    prefix.host = prefix.address.Text();
    hostText = prefix.address.family == AF_INET6 ? "[" + prefix.host + "]" : prefix.host;
  } else {
    for (char c : host) {
      bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
                c == '_' || c == '+' || c == '*';
      if (!ok) return std::nullopt;
    }
    prefix.host = std::string(host);
    in_addr v4;
    if (host == "+") {
      prefix.hostKind = PrefixHost::StrongWildcard;
    } else if (host == "*") {
      prefix.hostKind = PrefixHost::WeakWildcard;
    } else if (inet_pton(AF_INET, prefix.host.c_str(), &v4) == 1) {
      prefix.hostKind = PrefixHost::Address;
      prefix.address = IpAddress::V4(v4);
    } else if (host.find_first_of("+*") != std::string_view::npos) {
      return std::nullopt;
    } else {
      prefix.hostKind = PrefixHost::Name;
      if (host == "localhost") {
        in_addr loopback{};
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        prefix.address = IpAddress::V4(loopback);
      }
    }
    hostText = prefix.host;
  }
  if (path.empty() || path.back() != '/' || path.find_first_of("?#") != std::string_view::npos)
    return std::nullopt;
  prefix.path = std::string(path);
  prefix.canonical = (prefix.https ? "https://" : "http://") + hostText + ":" +
                     std::to_string(prefix.port) + prefix.path;
  return prefix;
}

IpAddress ListenAddress(const UrlPrefix& prefix) {
  if (prefix.hostKind == PrefixHost::Address) {
    bool unspecified = true;
    for (unsigned char b : prefix.address.bytes) unspecified = unspecified && b == 0;
    return unspecified ? IpAddress::Any() : prefix.address;
  }
  if (prefix.hostKind == PrefixHost::Name && prefix.host == "localhost") return prefix.address;
  return IpAddress::Any();
}

std::string_view HostWithoutPort(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    std::size_t close = host.find(']');
    return close == std::string_view::npos ? host : host.substr(0, close + 1);
  }
  std::size_t colon = host.find(':');
  return colon == std::string_view::npos ? host : host.substr(0, colon);
}

long MatchRank(const UrlPrefix& prefix, bool https, const IpAddress& localAddress,
               std::uint16_t localPort, std::string_view hostHeader, std::string_view cookedPath) {
  if (prefix.https != https || prefix.port != localPort) return -1;
  int hostRank = 0;
  switch (prefix.hostKind) {
    case PrefixHost::StrongWildcard:
      hostRank = 3;
      break;
    case PrefixHost::WeakWildcard:
      hostRank = 1;
      break;
    case PrefixHost::Address:
      if (prefix.address != localAddress) return -1;
      hostRank = 2;
      break;
    case PrefixHost::Name: {
      std::string_view h = HostWithoutPort(hostHeader);
      if (h.size() != prefix.host.size()) return -1;
      for (std::size_t i = 0; i < h.size(); ++i) {
        char c = h[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != prefix.host[i]) return -1;
      }
      hostRank = 2;
      break;
    }
  }
  // Compare paths without letter case; "/app" also matches the prefix "/app/".
  const std::string& pp = prefix.path;
  std::size_t n = pp.size();
  bool match = false;
  if (cookedPath.size() >= n) {
    match = true;
    for (std::size_t i = 0; i < n && match; ++i) {
      char c = cookedPath[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      match = c == pp[i];
    }
  }
  if (!match && cookedPath.size() + 1 == n) {
    match = true;
    for (std::size_t i = 0; i + 1 < n && match; ++i) {
      char c = cookedPath[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      match = c == pp[i];
    }
  }
  if (!match) return -1;
  return static_cast<long>(n) * 4 + hostRank;
}

std::optional<CookedTarget> CookTarget(std::string_view target) {
  CookedTarget out;
  if (target.substr(0, 7) == "http://" || target.substr(0, 8) == "https://") {
    std::size_t hostStart = target.find("//") + 2;
    std::size_t pathStart = target.find_first_of("/?", hostStart);
    out.host = std::string(target.substr(hostStart, pathStart - hostStart));
    target = pathStart == std::string_view::npos ? std::string_view("/") : target.substr(pathStart);
    if (target.front() == '?') return std::nullopt;
  }
  if (target.empty() || target.front() != '/') return std::nullopt;
  std::size_t q = target.find('?');
  std::string_view rawPath = target.substr(0, q);
  if (q != std::string_view::npos) out.query = std::string(target.substr(q));
  out.path.reserve(rawPath.size());
  for (std::size_t i = 0; i < rawPath.size(); ++i) {
    char c = rawPath[i];
    if (c == '%') {
      if (i + 2 >= rawPath.size()) return std::nullopt;
      int hi = HexValue(rawPath[i + 1]), lo = HexValue(rawPath[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      char decoded = static_cast<char>(hi * 16 + lo);
      if (decoded == '\0') return std::nullopt;
      out.path.push_back(decoded);
      i += 2;
    } else if (c == '\\') {
      out.path.push_back('/');  // one separator, whatever the client's habits
    } else {
      out.path.push_back(c);
    }
  }
  if (!RemoveDotSegments(out.path)) return std::nullopt;
  return out;
}

}  // namespace quillon::platform::detail
