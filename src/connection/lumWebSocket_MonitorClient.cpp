// Blocking-style client over a non-blocking socket: every wait is a poll() bounded by the one
// deadline, so a server that accepts and then stalls cannot hold the watchdog's timer thread
// past its limit. Written by hand because the round is tiny (one request, one close frame)
// and must share the library's TLS stack.
#include "connection/lumWebSocket_MonitorClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "connection/lumWebSocket_Handshake.h"
#include "connection/lumWebSocket_Hash.h"
#include "platform/httpapi/CertStore.h"

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

struct TMonitorFailure {
  TlumWSMonitorResult Result;
  std::string Text;
};

[[noreturn]] void Fail(TlumWSMonitorResult aResult, std::string aText) {
  throw TMonitorFailure{aResult, std::move(aText)};
}

std::string ErrnoText(int aErr) { return std::strerror(aErr); }

std::string OpenSSLText() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown TLS error";
  std::array<char, 256> buf{};
  ERR_error_string_n(code, buf.data(), buf.size());
  return buf.data();
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// True when a comma-separated header value holds the token (letter case ignored).
bool HasToken(std::string_view aValue, std::string_view aToken) {
  while (!aValue.empty()) {
    size_t comma = aValue.find(',');
    if (EqualsNoCase(Trim(aValue.substr(0, comma)), aToken)) return true;
    if (comma == std::string_view::npos) break;
    aValue.remove_prefix(comma + 1);
  }
  return false;
}

bool IsWildcardHost(std::string_view aHost) {
  return aHost.empty() || aHost == "+" || aHost == "*" || aHost == "0.0.0.0" || aHost == "::" ||
         aHost == "[::]";
}

bool IsIPLiteral(const std::string& aHost) {
  in6_addr a6{};
  in_addr a4{};
  return inet_pton(AF_INET, aHost.c_str(), &a4) == 1 ||
         inet_pton(AF_INET6, aHost.c_str(), &a6) == 1;
}

class TDeadline {
 public:
  explicit TDeadline(std::chrono::milliseconds aLimit) : FEnd(Clock::now() + aLimit) {}
  // Whole milliseconds left, rounded up so that a poll never spins with 0 before the end.
  int RemainingMs() const {
    auto left = FEnd - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 1 << 30));
  }
  TDeadline Sooner(std::chrono::milliseconds aLimit) const {
    TDeadline d = *this;
    d.FEnd = std::min(FEnd, Clock::now() + aLimit);
    return d;
  }

 private:
  Clock::time_point FEnd;
};

// One socket, plain or TLS, with every wait bounded by a deadline.
class TMonitorChannel {
 public:
  TMonitorChannel() = default;
  TMonitorChannel(const TMonitorChannel&) = delete;
  TMonitorChannel& operator=(const TMonitorChannel&) = delete;
  ~TMonitorChannel() {
    if (FSSL != nullptr) SSL_free(FSSL);
    if (FCtx != nullptr) SSL_CTX_free(FCtx);
    if (FFd >= 0) ::close(FFd);
  }

  void Connect(const std::string& aHost, std::uint16_t aPort, const TDeadline& aDeadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    std::string port = std::to_string(aPort);
    int rc = getaddrinfo(aHost.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) Fail(TlumWSMonitorResult::mrResolve, aHost + ": " + gai_strerror(rc));
    std::string lastError = "no address";
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
      int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        ai->ai_protocol);
      if (fd < 0) {
        lastError = ErrnoText(errno);
        continue;
      }
      FFd = fd;
      int err = 0;
      if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
          if (!Wait(POLLOUT, aDeadline)) {
            freeaddrinfo(list);
            Fail(TlumWSMonitorResult::mrTimeOut, "Connecting timed out");
          }
          socklen_t len = sizeof(err);
          if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        }
      }
      if (err == 0) {
        freeaddrinfo(list);
        return;
      }
      lastError = ErrnoText(err);
      ::close(fd);
      FFd = -1;
    }
    freeaddrinfo(list);
    Fail(TlumWSMonitorResult::mrConnect, "Connecting to " + aHost + ":" + port + " failed: " +
                                             lastError);
  }

  void StartTLS(const std::string& aServerName, const std::string& aPinnedHash,
                const TDeadline& aDeadline) {
    FCtx = SSL_CTX_new(TLS_client_method());
    if (FCtx == nullptr) Fail(TlumWSMonitorResult::mrTLS, OpenSSLText());
    SSL_CTX_set_min_proto_version(FCtx, TLS1_2_VERSION);
    // The server checks itself, usually with a self-signed certificate, so the chain is not
    // verified; a given thumbprint pins the certificate instead (checked below).
    SSL_CTX_set_verify(FCtx, SSL_VERIFY_NONE, nullptr);
    FSSL = SSL_new(FCtx);
    if (FSSL == nullptr || SSL_set_fd(FSSL, FFd) != 1) Fail(TlumWSMonitorResult::mrTLS, OpenSSLText());
    if (!aServerName.empty() && !IsIPLiteral(aServerName)) {
      SSL_set_tlsext_host_name(FSSL, aServerName.c_str());
    }
    for (;;) {
      ERR_clear_error();
      int rc = SSL_connect(FSSL);
      if (rc == 1) break;
      int err = SSL_get_error(FSSL, rc);
      if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        if (!Wait(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, aDeadline)) {
          Fail(TlumWSMonitorResult::mrTimeOut, "TLS handshake timed out");
        }
        continue;
      }
      std::string text = err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0
                             ? std::string("connection closed during the TLS handshake")
                             : OpenSSLText();
      Fail(TlumWSMonitorResult::mrTLS, "TLS handshake failed: " + text);
    }
    if (!aPinnedHash.empty()) CheckPin(aPinnedHash);
  }

  void SendAll(std::string_view aData, const TDeadline& aDeadline) {
    while (!aData.empty()) {
      ssize_t n;
      short waitFor = POLLOUT;
      if (FSSL != nullptr) {
        ERR_clear_error();
        int rc = SSL_write(FSSL, aData.data(), static_cast<int>(aData.size()));
        n = rc;
        if (rc <= 0) {
          int err = SSL_get_error(FSSL, rc);
          if (err == SSL_ERROR_WANT_READ) waitFor = POLLIN;
          else if (err != SSL_ERROR_WANT_WRITE) Fail(TlumWSMonitorResult::mrIO, "Sending failed: " + OpenSSLText());
        }
      } else {
        n = ::send(FFd, aData.data(), aData.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
          Fail(TlumWSMonitorResult::mrIO, "Sending failed: " + ErrnoText(errno));
        }
      }
      if (n > 0) {
        aData.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (!Wait(waitFor, aDeadline)) Fail(TlumWSMonitorResult::mrTimeOut, "Sending timed out");
    }
  }

  // Bytes read into aBuf; 0 when the peer closed; throws on failure or time-out.
  size_t Receive(char* aBuf, size_t aSize, const TDeadline& aDeadline) {
    for (;;) {
      short waitFor = POLLIN;
      if (FSSL != nullptr) {
        ERR_clear_error();
        int rc = SSL_read(FSSL, aBuf, static_cast<int>(aSize));
        if (rc > 0) return static_cast<size_t>(rc);
        int err = SSL_get_error(FSSL, rc);
        if (err == SSL_ERROR_ZERO_RETURN) return 0;
        if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return 0;  // closed without notify
        if (err == SSL_ERROR_WANT_WRITE) waitFor = POLLOUT;
        else if (err != SSL_ERROR_WANT_READ) Fail(TlumWSMonitorResult::mrIO, "Receiving failed: " + OpenSSLText());
      } else {
        ssize_t n = ::recv(FFd, aBuf, aSize, 0);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EAGAIN && errno != EINTR) {
          Fail(TlumWSMonitorResult::mrIO, "Receiving failed: " + ErrnoText(errno));
        }
      }
      if (!Wait(waitFor, aDeadline)) Fail(TlumWSMonitorResult::mrTimeOut, "Waiting for the answer timed out");
    }
  }

  void ShutdownTLS() {
    // One non-blocking attempt: the socket closes next anyway.
    if (FSSL != nullptr) SSL_shutdown(FSSL);
  }

 private:
  // False when the deadline passed first.
  bool Wait(short aEvents, const TDeadline& aDeadline) {
    for (;;) {
      int ms = aDeadline.RemainingMs();
      if (ms <= 0) return false;
      pollfd p{FFd, aEvents, 0};
      int rc = ::poll(&p, 1, ms);
      if (rc > 0) return true;  // ready, or an error the next call reports
      if (rc < 0 && errno != EINTR) Fail(TlumWSMonitorResult::mrIO, "poll: " + ErrnoText(errno));
    }
  }

  void CheckPin(const std::string& aPinnedHash) {
    auto expected = platform::ParseThumbprint(aPinnedHash);
    if (!expected) Fail(TlumWSMonitorResult::mrTLS, "Invalid certificate hash: " + aPinnedHash);
    X509* cert = SSL_get1_peer_certificate(FSSL);
    if (cert == nullptr) Fail(TlumWSMonitorResult::mrTLS, "The server sent no certificate");
    platform::Thumbprint actual{};
    unsigned int len = 0;
    int ok = X509_digest(cert, EVP_sha1(), actual.data(), &len);
    X509_free(cert);
    if (ok != 1 || len != actual.size() || actual != *expected) {
      Fail(TlumWSMonitorResult::mrTLS, "The server's certificate does not have the hash " +
                                           platform::ThumbprintToHex(*expected));
    }
  }

  int FFd = -1;
  SSL_CTX* FCtx = nullptr;
  SSL* FSSL = nullptr;
};

std::string NewKey() {
  std::array<unsigned char, 16> nonce{};
  if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) {
    Fail(TlumWSMonitorResult::mrIO, "No random bytes for the key: " + OpenSSLText());
  }
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(nonce.data()), nonce.size()));
}

// Checks the answer's head (status line and header lines, without the blank line).
void CheckAnswer(std::string_view aHead, const std::string& aKey) {
  size_t eol = aHead.find("\r\n");
  std::string_view status = aHead.substr(0, eol);
  // "HTTP/1.1 101" followed by a reason phrase or nothing.
  if (status.size() < 12 || status.substr(0, 5) != "HTTP/" || status.substr(8, 4) != " 101" ||
      (status.size() > 12 && status[12] != ' ')) {
    Fail(TlumWSMonitorResult::mrHandshake, "The server did not switch protocols: " +
                                               std::string(status));
  }
  bool upgrade = false, connection = false;
  std::string accept;
  bool acceptSeen = false;
  std::string_view rest = eol == std::string_view::npos ? std::string_view() : aHead.substr(eol + 2);
  while (!rest.empty()) {
    size_t end = rest.find("\r\n");
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = Trim(line.substr(0, colon));
    std::string_view value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(name, "Upgrade")) upgrade = EqualsNoCase(value, "websocket");
    else if (EqualsNoCase(name, "Connection")) connection = HasToken(value, "upgrade");
    else if (EqualsNoCase(name, "Sec-WebSocket-Accept")) {
      accept = value;
      acceptSeen = true;
    }
  }
  if (!upgrade) Fail(TlumWSMonitorResult::mrHandshake, "The answer has no Upgrade: websocket");
  if (!connection) Fail(TlumWSMonitorResult::mrHandshake, "The answer has no Connection: Upgrade");
  if (!acceptSeen) Fail(TlumWSMonitorResult::mrHandshake, "The answer has no Sec-WebSocket-Accept");
  if (accept != GetWSAccept(aKey)) {
    Fail(TlumWSMonitorResult::mrHandshake, "Wrong Sec-WebSocket-Accept: " + accept);
  }
}

// A masked close frame with code 1000 (clients must mask every frame).
std::string CloseFrame() {
  std::array<unsigned char, 4> mask{};
  if (RAND_bytes(mask.data(), static_cast<int>(mask.size())) != 1) mask = {0x5A, 0xA5, 0x3C, 0xC3};
  const unsigned char payload[2] = {0x03, 0xE8};
  std::string frame;
  frame.push_back(static_cast<char>(0x88));
  frame.push_back(static_cast<char>(0x80 | 2));
  for (unsigned char m : mask) frame.push_back(static_cast<char>(m));
  for (size_t i = 0; i < 2; ++i) frame.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
  return frame;
}

// True once the buffer holds the start of a close frame from the server (which never masks).
bool HasCloseFrame(std::string_view aData) {
  while (aData.size() >= 2) {
    unsigned char b0 = static_cast<unsigned char>(aData[0]);
    unsigned char b1 = static_cast<unsigned char>(aData[1]);
    if ((b0 & 0x0F) == 0x08) return true;
    size_t header = 2;
    std::uint64_t len = b1 & 0x7F;
    if (len == 126) {
      if (aData.size() < 4) return false;
      len = (static_cast<unsigned char>(aData[2]) << 8) | static_cast<unsigned char>(aData[3]);
      header = 4;
    } else if (len == 127) {
      if (aData.size() < 10) return false;
      len = 0;
      for (int i = 2; i < 10; ++i) len = (len << 8) | static_cast<unsigned char>(aData[i]);
      header = 10;
    }
    if (b1 & 0x80) header += 4;
    if (aData.size() < header || aData.size() - header < len) return false;
    aData.remove_prefix(header + static_cast<size_t>(len));
  }
  return false;
}

constexpr size_t kMaxAnswerHead = 16 * 1024;
// How long the client lingers for the server's close frame after success is known.
constexpr std::chrono::milliseconds kCloseLinger{1000};

}  // namespace

bool TlumWSMonitorClient::Connect(std::chrono::milliseconds aTimeOut) {
  FLastResult = TlumWSMonitorResult::mrSuccess;
  FLastError.clear();
  TDeadline deadline(aTimeOut);
  try {
    std::string host = Host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (IsWildcardHost(Host)) host = (Host == "::" || Host == "[::]") ? "::1" : "127.0.0.1";
    std::string path = Path.empty() || Path.front() != '/' ? "/" + Path : Path;

    TMonitorChannel channel;
    channel.Connect(host, Port, deadline);
    if (SSL) channel.StartTLS(host, SSLHash, deadline);

    std::string key = NewKey();
    std::string hostHeader = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::string request = "GET " + path + " HTTP/1.1\r\n" + "Host: " + hostHeader + ":" +
                          std::to_string(Port) + "\r\n" +
                          "Upgrade: websocket\r\n"
                          "Connection: Upgrade\r\n"
                          "Sec-WebSocket-Key: " + key + "\r\n" +
                          "Sec-WebSocket-Version: 13\r\n\r\n";
    channel.SendAll(request, deadline);

    std::string answer;
    size_t headEnd = std::string::npos;
    std::array<char, 4096> buf{};
    while (headEnd == std::string::npos) {
      size_t n = channel.Receive(buf.data(), buf.size(), deadline);
      if (n == 0) {
        Fail(TlumWSMonitorResult::mrHandshake,
             answer.empty() ? "The server closed the connection without an answer"
                            : "The server closed the connection inside its answer");
      }
      answer.append(buf.data(), n);
      headEnd = answer.find("\r\n\r\n");
      if (headEnd == std::string::npos && answer.size() > kMaxAnswerHead) {
        Fail(TlumWSMonitorResult::mrHandshake, "The answer's header block is too long");
      }
    }
    CheckAnswer(std::string_view(answer).substr(0, headEnd), key);

    channel.SendAll(CloseFrame(), deadline);
    // Success is known; waiting briefly for the server's close lets it end the TCP connection
    // cleanly instead of seeing a reset. Failures here change nothing.
    try {
      std::string frames = answer.substr(headEnd + 4);
      TDeadline linger = deadline.Sooner(kCloseLinger);
      while (!HasCloseFrame(frames)) {
        size_t n = channel.Receive(buf.data(), buf.size(), linger);
        if (n == 0) break;
        frames.append(buf.data(), n);
        if (frames.size() > kMaxAnswerHead) break;
      }
    } catch (const TMonitorFailure&) {
    }
    channel.ShutdownTLS();
    return true;
  } catch (const TMonitorFailure& f) {
    FLastResult = f.Result;
    FLastError = f.Text;
  } catch (const std::exception& e) {
    FLastResult = TlumWSMonitorResult::mrIO;
    FLastError = e.what();
  }
  return false;
}

}  // namespace quillon
