// Raw TCP test clients on the IPv4 loopback: a free port to listen on and a blocking client
// whose every read is bounded by the socket time-out. It reads HTTP heads, whole
// Content-Length responses and unmasked server frames; protocol-specific requests (upgrades,
// GETs) stay with the tests that need them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "connection/MemoryConnection.h"

namespace loopback {

// A port on 127.0.0.1 that was free a moment ago.
inline int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

class Client {
 public:
  explicit Client(int aPort, int aTimeoutSeconds = 10) : FSocket(socket(AF_INET, SOCK_STREAM, 0)) {
    timeval tv{aTimeoutSeconds, 0};
    setsockopt(FSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const int one = 1;
    setsockopt(FSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(aPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FConnected = connect(FSocket, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    socklen_t len = sizeof a;
    getsockname(FSocket, reinterpret_cast<sockaddr*>(&a), &len);
    FLocalPort = ntohs(a.sin_port);
  }
  ~Client() { Close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void Close() {
    if (FSocket >= 0) close(FSocket);
    FSocket = -1;
  }
  // Ends the TCP connection with a reset: a client that vanishes without a goodbye.
  void Abort() {
    linger l{1, 0};
    setsockopt(FSocket, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
  }
  void ShutdownWrite() { shutdown(FSocket, SHUT_WR); }
  bool Connected() const { return FConnected; }
  int LocalPort() const { return FLocalPort; }

  bool Send(std::string_view aBytes) {
    return send(FSocket, aBytes.data(), aBytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(aBytes.size());
  }
  // Everything until the server closes (or the time-out).
  std::string ReadAll() {
    while (Fill()) {
    }
    return std::exchange(FPending, {});
  }
  // Status line and headers with the blank line; empty when the connection ended first.
  std::string ReadHead() {
    std::size_t end;
    while ((end = FPending.find("\r\n\r\n")) == std::string::npos)
      if (!Fill()) return {};
    std::string head = FPending.substr(0, end + 4);
    FPending.erase(0, end + 4);
    return head;
  }
  // One response: its head, and its Content-Length body into `aBody`. Empty on failure.
  std::string ReadResponse(std::string* aBody = nullptr) {
    std::string head = ReadHead();
    if (head.empty()) return {};
    std::size_t length = 0;
    if (auto p = head.find("Content-Length: "); p != std::string::npos)
      length = std::stoul(head.substr(p + 16));
    while (FPending.size() < length)
      if (!Fill()) return {};
    if (aBody) *aBody = FPending.substr(0, length);
    FPending.erase(0, length);
    return head;
  }
  // One unmasked server frame; opcode 0xFF when the connection ended first.
  quillon::test::TFrame ReadFrame() {
    auto need = [&](std::size_t n) {
      while (FPending.size() < n)
        if (!Fill()) return false;
      return true;
    };
    if (!need(2)) return {0xFF, {}};
    std::uint64_t len = static_cast<std::uint8_t>(FPending[1]) & 0x7F;
    std::size_t h = 2;
    if (len >= 126) {
      const std::size_t extra = len == 126 ? 2 : 8;
      if (!need(2 + extra)) return {0xFF, {}};
      len = 0;
      for (std::size_t k = 0; k < extra; ++k) len = (len << 8) | static_cast<std::uint8_t>(FPending[2 + k]);
      h += extra;
    }
    if (!need(h + len)) return {0xFF, {}};
    quillon::test::TFrame frame{static_cast<std::uint8_t>(FPending[0]), FPending.substr(h, len)};
    FPending.erase(0, h + len);
    return frame;
  }

 private:
  bool Fill() {
    char buf[16384];
    const ssize_t n = recv(FSocket, buf, sizeof buf, 0);
    if (n <= 0) return false;
    FPending.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  int FSocket;
  bool FConnected = false;
  int FLocalPort = 0;
  std::string FPending;
};

}  // namespace loopback
