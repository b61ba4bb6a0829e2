// IP addresses and socket addresses of either family as the engine keeps them: an IPv4 peer
// reached through a dual-stack IPv6 socket (::ffff:a.b.c.d) is kept as plain IPv4, so routing,
// TLS bindings, logs and request records see one form per address.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <compare>
#include <cstdint>
#include <string>

namespace quillon::platform::detail {

struct IpAddress {
  // AF_INET, AF_INET6, or AF_UNSPEC for "every address of both families".
  int family = AF_UNSPEC;
  std::array<unsigned char, 16> bytes{};  // IPv4 in the first four, network order

  static IpAddress Any() { return {}; }
  static IpAddress V4(const in_addr& a);
  static IpAddress V6(const in6_addr& a);  // IPv4-mapped addresses become IPv4
  // Nullopt-free parse: family AF_UNSPEC when `text` is neither form.
  static IpAddress Parse(const std::string& text);

  in_addr v4() const;
  in6_addr v6() const;
  bool IsAny() const { return family == AF_UNSPEC; }
  // IPv6 without brackets, as inet_ntop writes it.
  std::string Text() const;
  auto operator<=>(const IpAddress&) const = default;
};

union SocketAddress {
  sockaddr any;
  sockaddr_in v4;
  sockaddr_in6 v6;

  SocketAddress() : v6{} {}
  // From what accept() or getsockname() filled in, IPv4-mapped addresses made IPv4.
  static SocketAddress From(const sockaddr_storage& storage);
  static SocketAddress Make(const IpAddress& ip, std::uint16_t port);

  IpAddress ip() const;
  std::uint16_t port() const;  // host order
  socklen_t length() const { return any.sa_family == AF_INET6 ? sizeof v6 : sizeof v4; }
  std::string Text() const { return ip().Text(); }
  // For a URL's host: IPv6 in brackets.
  std::string UrlHost() const;
};

}  // namespace quillon::platform::detail
