// Shared helpers of the engine tests: a server set-up on a free loopback port (session, URL
// group, request queue), raw socket clients and a little response reader.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/httpapi/http.h"
#include "platform/win32/CompletionPort.h"
#include "support/LoopbackClient.h"

namespace httptest {

inline std::uint16_t FreePort() { return static_cast<std::uint16_t>(loopback::FreePort()); }

// Whether this machine can listen on the IPv6 loopback.
inline bool HasIpv6Loopback() {
  int fd = socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// One session, one URL group bound to one queue; the prefix is registered on construction.
struct Server {
  HTTP_SERVER_SESSION_ID session = 0;
  HTTP_URL_GROUP_ID group = 0;
  HANDLE queue = nullptr;
  std::uint16_t port = 0;
  std::string prefix;

  explicit Server(const std::string& path = "/", const char* scheme = "http",
                  const char* host = "127.0.0.1", std::uint16_t fixedPort = 0) {
    HttpInitialize(HTTPAPI_VERSION_2, HTTP_INITIALIZE_SERVER, nullptr);
    HttpCreateServerSession(HTTPAPI_VERSION_2, &session, 0);
    HttpCreateUrlGroup(session, &group, 0);
    HttpCreateRequestQueue(HTTPAPI_VERSION_2, nullptr, nullptr, 0, &queue);
    HTTP_BINDING_INFO binding{};
    binding.Flags.Present = 1;
    binding.RequestQueueHandle = queue;
    HttpSetUrlGroupProperty(group, HttpServerBindingProperty, &binding, sizeof binding);
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = fixedPort ? fixedPort : FreePort();
      prefix = std::string(scheme) + "://" + host + ":" + std::to_string(port) + path;
      if (HttpAddUrlToUrlGroup(group, prefix.c_str(), 0, 0) == NO_ERROR) break;
      prefix.clear();
    }
  }
  ~Server() {
    HttpCloseUrlGroup(group);
    HttpCloseServerSession(session);
    CloseHandle(queue);
    HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
  }
  void SetTimeouts(USHORT headerWait, USHORT idle, USHORT entityBody = 0, ULONG minSendRate = 0,
                   USHORT requestQueue = 0) {
    HTTP_TIMEOUT_LIMIT_INFO t{};
    t.Flags.Present = 1;
    t.HeaderWait = headerWait;
    t.IdleConnection = idle;
    t.EntityBody = entityBody;
    t.MinSendRate = minSendRate;
    t.RequestQueue = requestQueue;
    HttpSetUrlGroupProperty(group, HttpServerTimeoutsProperty, &t, sizeof t);
  }
};

// A request received into an owned buffer.
struct Received {
  std::string storage;
  HTTP_REQUEST_V2* request = nullptr;
  ULONG rc = 0;
};

inline Received Receive(HANDLE queue, ULONG size = 32 * 1024) {
  Received r;
  r.storage.assign(size, '\0');
  r.request = reinterpret_cast<HTTP_REQUEST_V2*>(r.storage.data());
  ULONG bytes = 0;
  r.rc = HttpReceiveHttpRequest(queue, HTTP_NULL_ID, 0, r.request, size, &bytes, nullptr);
  return r;
}

// Sends a whole response with a text body (no MORE_DATA).
inline ULONG Respond(HANDLE queue, HTTP_REQUEST_ID id, USHORT status, const std::string& body,
                     ULONG flags = 0) {
  HTTP_RESPONSE_V2 response{};
  response.StatusCode = status;
  response.pReason = "OK";
  response.ReasonLength = 2;
  HTTP_DATA_CHUNK chunk{};
  chunk.DataChunkType = HttpDataChunkFromMemory;
  chunk.FromMemory.pBuffer = const_cast<char*>(body.data());
  chunk.FromMemory.BufferLength = static_cast<ULONG>(body.size());
  if (!body.empty()) {
    response.EntityChunkCount = 1;
    response.pEntityChunks = &chunk;
  }
  response.Headers.KnownHeaders[HttpHeaderContentType].pRawValue = "text/plain";
  response.Headers.KnownHeaders[HttpHeaderContentType].RawValueLength = 10;
  ULONG sent = 0;
  return HttpSendHttpResponse(queue, id, flags, &response, nullptr, &sent, nullptr, 0, nullptr,
                              nullptr);
}

inline ULONG SendBody(HANDLE queue, HTTP_REQUEST_ID id, const std::string& data, ULONG flags) {
  HTTP_DATA_CHUNK chunk{};
  chunk.DataChunkType = HttpDataChunkFromMemory;
  chunk.FromMemory.pBuffer = const_cast<char*>(data.data());
  chunk.FromMemory.BufferLength = static_cast<ULONG>(data.size());
  ULONG sent = 0;
  return HttpSendResponseEntityBody(queue, id, flags, data.empty() ? 0 : 1, &chunk, &sent,
                                    nullptr, 0, nullptr, nullptr);
}

class Client {
 public:
  // `address` is an IPv4 or IPv6 literal.
  explicit Client(std::uint16_t port, const char* address = "127.0.0.1") {
    sockaddr_in6 a6{};
    if (inet_pton(AF_INET6, address, &a6.sin6_addr) == 1) {
      fd_ = socket(AF_INET6, SOCK_STREAM, 0);
      a6.sin6_family = AF_INET6;
      a6.sin6_port = htons(port);
      connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0;
      return;
    }
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  Client(const Client&) = delete;
  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  bool Send(const std::string& data) {
    return send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }
  void ShutdownWrite() { shutdown(fd_, SHUT_WR); }
  // Closes with a reset instead of a FIN.
  void Reset() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd_);
    fd_ = -1;
  }
  // Reads what arrives until `until` is in the data, the peer closes, or the time is up.
  std::string Read(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000),
                   const std::string& until = "") {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (until.empty() || buffer_.find(until) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[65536];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      buffer_.append(buf, static_cast<std::size_t>(n));
    }
    std::string out;
    out.swap(buffer_);
    return out;
  }
  // Reads one response with a Content-Length body (or up to close without one).
  std::string ReadResponse(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      std::size_t headEnd = buffer_.find("\r\n\r\n");
      if (headEnd != std::string::npos) {
        std::size_t need = headEnd + 4;
        std::size_t cl = Find(buffer_.substr(0, headEnd), "content-length:");
        if (cl != std::string::npos) {
          need += std::stoul(buffer_.substr(cl + 15));
          if (buffer_.size() >= need) {
            std::string out = buffer_.substr(0, need);
            buffer_.erase(0, need);
            return out;
          }
        } else if (closed_ || buffer_.compare(9, 1, "1") == 0 || buffer_.compare(9, 3, "204") == 0) {
          std::string out = buffer_.substr(0, closed_ ? buffer_.size() : need);
          buffer_.erase(0, out.size());
          return out;
        }
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || closed_) {
        std::string out;
        out.swap(buffer_);
        return out;
      }
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[65536];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        closed_ = true;
        continue;
      }
      buffer_.append(buf, static_cast<std::size_t>(n));
    }
  }
  // True when the server closed the connection within the time.
  bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    Read(timeout);
    return closed_;
  }

 private:
  static std::size_t Find(const std::string& haystack, const std::string& lowerNeedle) {
    std::string lower = haystack;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find(lowerNeedle);
  }
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  std::string buffer_;
};

inline std::string Get(const std::string& path, const std::string& extra = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

}  // namespace httptest
