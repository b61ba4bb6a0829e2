// Conversions between the engine's address forms and the socket API's.
#include "platform/httpapi/SocketAddress.h"

#include <arpa/inet.h>

#include <cstring>

namespace quillon::platform::detail {

IpAddress IpAddress::V4(const in_addr& a) {
  IpAddress ip;
  ip.family = AF_INET;
  std::memcpy(ip.bytes.data(), &a, sizeof a);
  return ip;
}

IpAddress IpAddress::V6(const in6_addr& a) {
  if (IN6_IS_ADDR_V4MAPPED(&a)) {
    in_addr v4;
    std::memcpy(&v4, a.s6_addr + 12, sizeof v4);
    return V4(v4);
  }
  IpAddress ip;
  ip.family = AF_INET6;
  std::memcpy(ip.bytes.data(), &a, sizeof a);
  return ip;
}

IpAddress IpAddress::Parse(const std::string& text) {
  in_addr v4;
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return V4(v4);
  in6_addr v6;
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) return V6(v6);
  return {};
}

in_addr IpAddress::v4() const {
  in_addr a{};
  if (family == AF_INET) std::memcpy(&a, bytes.data(), sizeof a);
  return a;
}

in6_addr IpAddress::v6() const {
  in6_addr a{};
  if (family == AF_INET6) std::memcpy(&a, bytes.data(), sizeof a);
  return a;
}

std::string IpAddress::Text() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (family == AF_INET) {
    in_addr a = v4();
    inet_ntop(AF_INET, &a, text, sizeof text);
  } else if (family == AF_INET6) {
    in6_addr a = v6();
    inet_ntop(AF_INET6, &a, text, sizeof text);
  }
  return text;
}

SocketAddress SocketAddress::From(const sockaddr_storage& storage) {
  SocketAddress out;
  if (storage.ss_family == AF_INET) {
    std::memcpy(&out.v4, &storage, sizeof out.v4);
  } else if (storage.ss_family == AF_INET6) {
    sockaddr_in6 v6;
    std::memcpy(&v6, &storage, sizeof v6);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      out.v4 = sockaddr_in{};
      out.v4.sin_family = AF_INET;
      out.v4.sin_port = v6.sin6_port;
      std::memcpy(&out.v4.sin_addr, v6.sin6_addr.s6_addr + 12, sizeof out.v4.sin_addr);
    } else {
      out.v6 = v6;
    }
  }
  return out;
}

SocketAddress SocketAddress::Make(const IpAddress& ip, std::uint16_t port) {
  SocketAddress out;
  if (ip.family == AF_INET6) {
    out.v6.sin6_family = AF_INET6;
    out.v6.sin6_addr = ip.v6();
    out.v6.sin6_port = htons(port);
  } else {
    out.v4 = sockaddr_in{};
    out.v4.sin_family = AF_INET;
    out.v4.sin_addr = ip.v4();  // 0.0.0.0 for Any
    out.v4.sin_port = htons(port);
  }
  return out;
}

IpAddress SocketAddress::ip() const {
  if (any.sa_family == AF_INET) return IpAddress::V4(v4.sin_addr);
  if (any.sa_family == AF_INET6) return IpAddress::V6(v6.sin6_addr);
  return {};
}

std::uint16_t SocketAddress::port() const {
  if (any.sa_family == AF_INET) return ntohs(v4.sin_port);
  if (any.sa_family == AF_INET6) return ntohs(v6.sin6_port);
  return 0;
}

std::string SocketAddress::UrlHost() const {
  return any.sa_family == AF_INET6 ? "[" + Text() + "]" : Text();
}

}  // namespace quillon::platform::detail
