// Broadcast fan-out: a server in this process with N WebSocket clients on loopback; each
// publish is one Broadcast, timed from the call to the moment the last client has the whole
// frame, and the CPU the publishing thread spent in the call. One line of JSON per subscriber
// count:
//   {"subscribers":N,"publishes":P,"deflate":0|1,"publish_to_last_us":{"median":..,"p99":..},
//    "publish_cpu_us":{"median":..},"frames_per_client":P}
//   usage: broadcast_fanout [--subscribers 1,10,100,1000] [--publishes 200] [--size 64]
//                           [--deflate] [--threads 2] [--port 19300] [--max-seconds 60]
// Clients offer permessage-deflate without context takeover when --deflate is given, so
// the server may compress a message once for all of them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"
#include "server/lumWebSocket_Server_HTTPAPI.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Client {
  int fd = -1;
  std::string in;       // bytes not yet parsed into frames
  std::size_t frames = 0;
};

int Connect(int aPort) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(aPort));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool Upgrade(Client& c, int aPort, bool aDeflate) {
  std::string req = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(aPort) +
                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
  if (aDeflate)
    req += "Sec-WebSocket-Extensions: permessage-deflate; server_no_context_takeover; "
           "client_no_context_takeover\r\n";
  req += "\r\n";
  if (::send(c.fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size()))
    return false;
  char buf[4096];
  std::string head;
  while (head.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    head.append(buf, static_cast<std::size_t>(n));
  }
  c.in = head.substr(head.find("\r\n\r\n") + 4);
  return head.rfind("HTTP/1.1 101", 0) == 0;
}

// Counts whole unmasked frames in c.in and drops them.
void TakeFrames(Client& c) {
  std::size_t at = 0;
  for (;;) {
    if (c.in.size() - at < 2) break;
    const auto* p = reinterpret_cast<const std::uint8_t*>(c.in.data() + at);
    std::uint64_t len = p[1] & 0x7F;
    std::size_t h = 2;
    if (len == 126) {
      if (c.in.size() - at < 4) break;
      len = (std::uint64_t{p[2]} << 8) | p[3];
      h = 4;
    } else if (len == 127) {
      if (c.in.size() - at < 10) break;
      len = 0;
      for (int i = 0; i < 8; ++i) len = (len << 8) | p[2 + i];
      h = 10;
    }
    if (c.in.size() - at < h + len) break;
    at += h + len;
    ++c.frames;
  }
  c.in.erase(0, at);
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

double ThreadCpuUs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts{1, 10, 100, 1000};
  int publishes = 200, size = 64, threads = 2, port = 19300, maxSeconds = 60;
  bool deflate = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--subscribers") {
      counts.clear();
      const std::string list = next();
      for (std::size_t b = 0; b < list.size();) {
        std::size_t e = list.find(',', b);
        counts.push_back(std::atoi(list.substr(b, e - b).c_str()));
        if (e == std::string::npos) break;
        b = e + 1;
      }
    } else if (a == "--publishes") publishes = std::atoi(next().c_str());
    else if (a == "--size") size = std::atoi(next().c_str());
    else if (a == "--threads") threads = std::atoi(next().c_str());
    else if (a == "--port") port = std::atoi(next().c_str());
    else if (a == "--max-seconds") maxSeconds = std::atoi(next().c_str());
    else if (a == "--deflate") deflate = true;
    else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return 2;
    }
  }

  quillon::TlumWSServer_HTTPAPI server;
  server.SetHost("127.0.0.1");
  server.SetPort(port);
  server.SetThreadPoolSize(threads);
  server.Extensions().PerMessage_Deflate().SetEnabled(deflate);
  // Open connections: a broadcast reaches those whose handshake is done.
  std::atomic<int> open{0};
  server.OnConnect = [&](quillon::TlumWSConnection*) { ++open; };
  server.OnDisconnect = [&](quillon::TlumWSConnection*, int) { --open; };
  server.SetActive(true);
  if (!server.Active()) {
    std::fprintf(stderr, "cannot listen on %d\n", port);
    return 1;
  }
  // Text that compresses like ordinary JSON does, not to nothing.
  std::string message;
  while (static_cast<int>(message.size()) < size)
    message += "{\"seq\":" + std::to_string(message.size() * 7919 % 10007) + ",\"v\":\"abc\"}";
  message.resize(static_cast<std::size_t>(size));

  const auto deadline = Clock::now() + std::chrono::seconds(maxSeconds);
  const int ep = ::epoll_create1(0);
  for (int n : counts) {
    std::vector<Client> clients(static_cast<std::size_t>(n));
    for (Client& c : clients) {
      c.fd = Connect(port);
      if (c.fd < 0 || !Upgrade(c, port, deflate)) {
        std::fprintf(stderr, "connection failed\n");
        return 1;
      }
    }
    while (open.load() < n && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (std::size_t i = 0; i < clients.size(); ++i) {
      epoll_event e{};
      e.events = EPOLLIN;
      e.data.u64 = i;
      ::epoll_ctl(ep, EPOLL_CTL_ADD, clients[i].fd, &e);
    }
    std::vector<double> lastUs, cpuUs;
    std::vector<epoll_event> events(1024);
    char buf[65536];
    int done = 0;
    for (; done < publishes && Clock::now() < deadline; ++done) {
      const std::size_t want = static_cast<std::size_t>(done) + 1;
      const auto t0 = Clock::now();
      const double c0 = ThreadCpuUs();
      server.Broadcast(message);
      cpuUs.push_back(ThreadCpuUs() - c0);
      std::size_t complete = 0;
      for (Client& c : clients) complete += c.frames >= want ? 1 : 0;
      while (complete < clients.size() && Clock::now() < deadline) {
        const int k = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
        for (int j = 0; j < k; ++j) {
          Client& c = clients[events[static_cast<std::size_t>(j)].data.u64];
          const bool before = c.frames >= want;
          ssize_t r;
          while ((r = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            c.in.append(buf, static_cast<std::size_t>(r));
          TakeFrames(c);
          if (!before && c.frames >= want) ++complete;
        }
      }
      lastUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::size_t minFrames = static_cast<std::size_t>(-1);
    for (const Client& c : clients) minFrames = std::min(minFrames, c.frames);
    std::printf(
        "{\"subscribers\":%d,\"publishes\":%d,\"deflate\":%d,\"size\":%d,"
        "\"publish_to_last_us\":{\"median\":%.1f,\"p99\":%.1f},"
        "\"publish_cpu_us\":{\"median\":%.1f},\"frames_per_client\":%zu}\n",
        n, done, deflate ? 1 : 0, size, Percentile(lastUs, 0.5), Percentile(lastUs, 0.99),
        Percentile(cpuUs, 0.5), minFrames);
    std::fflush(stdout);
    for (Client& c : clients) {
      ::epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
      ::close(c.fd);
    }
    while (open.load() > 0 && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::close(ep);
  server.SetActive(false);
  return 0;
}
