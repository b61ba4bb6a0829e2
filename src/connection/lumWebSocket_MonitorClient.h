// The watchdog's own WebSocket client: connects to a server (optionally over TLS), performs
// the opening handshake, sends a close frame and hangs up, all within one time limit. It
// proves that the server still accepts WebSocket connections; it carries no messages and is
// not a general WebSocket client.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quillon {

enum class TlumWSMonitorResult {
  mrSuccess,    // 101 with the right accept key; the close frame went out
  mrResolve,    // the host name could not be resolved
  mrConnect,    // the TCP connection was refused or failed
  mrTimeOut,    // the time limit passed before the handshake completed
  mrTLS,        // the TLS handshake failed
  mrHandshake,  // the answer was not a valid 101 for our key
  mrIO,         // the connection failed while sending or receiving
};

class TlumWSMonitorClient {
 public:
  // Wildcard hosts ("+", "*", empty, 0.0.0.0, ::) are reached through the loopback.
  std::string Host;
  std::uint16_t Port = 0;
  bool SSL = false;
  // With TLS: when set, the server's certificate must have this SHA-1 thumbprint
  // (hexadecimal); the chain itself is not verified.
  std::string SSLHash;
  // Request path; a missing leading "/" is added.
  std::string Path = "/";

  // One connect-handshake-close round within aTimeOut. True on success; otherwise
  // LastResult and LastError tell why. Name resolution (getaddrinfo) is the one step the
  // limit cannot interrupt; IP literals and "localhost" resolve at once.
  bool Connect(std::chrono::milliseconds aTimeOut);

  TlumWSMonitorResult LastResult() const { return FLastResult; }
  const std::string& LastError() const { return FLastError; }

 private:
  TlumWSMonitorResult FLastResult = TlumWSMonitorResult::mrSuccess;
  std::string FLastError;
};

}  // namespace quillon
