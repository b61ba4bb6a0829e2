// URL prefixes as URL groups register them ("http://+:80/app/") and the matching of request
// URLs against them; also the cooking of a request target into its decoded, normalised path.
// Pure functions, no registry: the registry is in UrlGroup.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/httpapi/SocketAddress.h"

namespace quillon::platform::detail {

enum class PrefixHost {
  StrongWildcard,  // "+": every address, before any named host
  WeakWildcard,    // "*": every address, after any named host
  Address,         // an IP literal (IPv6 in brackets): only connections to that address
  Name,            // other names: compared with the Host header ("localhost" listens on loopback)
};

struct UrlPrefix {
  bool https = false;
  PrefixHost hostKind = PrefixHost::StrongWildcard;
  std::string host;       // lower case, no brackets
  IpAddress address;      // Address: the literal; Name "localhost": 127.0.0.1
  std::uint16_t port = 0;
  std::string path;       // lower case, starts and ends with "/"
  std::string canonical;  // lower-case text used to compare prefixes
};

// Nullopt for anything that is not scheme://host:port/path/ with an IP literal, a name or a
// wildcard.
std::optional<UrlPrefix> ParseUrlPrefix(std::string_view url);

// Address a prefix listens on: Any (both families) for wildcards, unspecified literals and
// names other than localhost.
IpAddress ListenAddress(const UrlPrefix& prefix);

// How well a request matches: -1 for no match, else a rank where a longer path wins and, for
// equal paths, "+" beats a named host which beats "*".
long MatchRank(const UrlPrefix& prefix, bool https, const IpAddress& localAddress,
               std::uint16_t localPort, std::string_view hostHeader, std::string_view cookedPath);

struct CookedTarget {
  std::string path;   // percent-decoded, dot segments removed, starts with "/"
  std::string query;  // with its "?" (empty when none)
  std::string host;   // from an absolute-form target, else empty
};
// Nullopt when the target cannot be decoded safely (bad escape, encoded NUL, climbing above
// the root, not origin or absolute form).
std::optional<CookedTarget> CookTarget(std::string_view target);

// The host part of a Host header value without its port (IPv6 brackets kept).
std::string_view HostWithoutPort(std::string_view hostHeader);

}  // namespace quillon::platform::detail
