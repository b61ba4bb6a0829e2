// Sessions, URL groups and their properties, the prefix registry and the listening sockets
// it implies: adding the first prefix for an address and port opens a listener, removing the
// last one closes it. A wildcard prefix on a port listens on every address of that port, of
// both families where the machine has IPv6.
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <system_error>

#include "platform/httpapi/Engine.h"
#include "platform/httpapi/W3CLog.h"

namespace quillon::platform::detail {
namespace {

class Listener final : public Pollable, public std::enable_shared_from_this<Listener> {
 public:
  Listener(int fd, IpAddress address, std::uint16_t port, bool https)
      : fd_(fd), address_(address), port_(port), https_(https) {}
  ~Listener() override {
    if (fd_ >= 0) ::close(fd_);
  }

  bool https() const { return https_; }

  void Close() {
    std::lock_guard g(lock_);
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    EventLoop::Instance().Release(this);
  }

  void OnEvents(std::uint32_t) override { AcceptAll(); }
  // Accepting stopped for lack of descriptors: try again now and then.
  void OnTick(Clock::time_point) override {
    if (starved_.load()) AcceptAll();
  }

 private:
  void AcceptAll() {
    starved_ = false;
    for (;;) {
      sockaddr_storage remote{};
      int fd = -1;
      {
        // Held for the accept only: starting a connection takes other locks, and Close is
        // called with the registry locked.
        std::lock_guard g(lock_);
        if (fd_ < 0) return;
        socklen_t length = sizeof remote;
        fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&remote), &length,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
      }
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
          starved_ = true;
        return;
      }
      Accepted(fd, SocketAddress::From(remote));
    }
  }

  void Accepted(int fd, const SocketAddress& remote) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SocketAddress local;
    if (!address_.IsAny()) {
      local = SocketAddress::Make(address_, port_);
    } else {
      sockaddr_storage storage{};
      socklen_t length = sizeof storage;
      getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
      local = SocketAddress::From(storage);
    }
    std::shared_ptr<SSL_CTX> tls;
    if (https_) {
      tls = TlsContextFor(local.ip(), port_);
      if (!tls) {
        ::close(fd);  // no certificate bound to this address and port
        return;
      }
    }
    auto connection = std::make_shared<Connection>(fd, local, remote, https_);
    connection->Open(tls.get());
  }

  std::mutex lock_;  // guards fd_ against Close during an accept
  int fd_;
  const IpAddress address_;
  const std::uint16_t port_;
  const bool https_;
  std::atomic<bool> starved_{false};
};

struct Registration {
  UrlPrefix prefix;
  std::shared_ptr<UrlGroup> group;
};

using ListenKey = std::pair<IpAddress, std::uint16_t>;

struct Registry {
  std::shared_mutex lock;  // guards everything below
  std::unordered_map<HTTP_SERVER_SESSION_ID, std::shared_ptr<Session>> sessions;
  std::unordered_map<HTTP_URL_GROUP_ID, std::shared_ptr<UrlGroup>> groups;
  std::vector<Registration> prefixes;
  std::map<ListenKey, std::shared_ptr<Listener>> listeners;
  // Its own lock: read while a listener accepts, which must not wait for the registry.
  std::mutex timeoutsLock;
  TimeoutSettings connectionTimeouts;
};

Registry& Reg() {
  static Registry* registry = new Registry;  // outlives every thread that may route
  return *registry;
}

// A listening socket for the address and port, -1 when it cannot be had: `error` is then
// errno of bind or listen, or 0 when there was no socket at all.
// Any listens on IPv6 and IPv4 through one dual-stack socket, or IPv4 alone on a machine
// without IPv6.
int OpenListenSocket(const IpAddress& ip, std::uint16_t port, int& error) {
  SocketAddress address = SocketAddress::Make(ip, port);
  int family = ip.family == AF_INET6 ? AF_INET6 : AF_INET;
  int fd = -1;
  if (ip.IsAny()) {
    fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
      int off = 0;
      if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0) {
        address = SocketAddress{};
        address.v6.sin6_family = AF_INET6;
        address.v6.sin6_addr = in6addr_any;
        address.v6.sin6_port = htons(port);
      } else {
        ::close(fd);
        fd = -1;
      }
    }
  }
  if (fd < 0) fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = 0;
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // An IPv6 literal is that address only, never its IPv4-mapped twin.
  if (ip.family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (::bind(fd, &address.any, address.length()) != 0 || ::listen(fd, 4096) != 0) {
    error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

// Opens and closes listeners to match the registered prefixes. Exclusive lock held.
ULONG ReconcileListenersLocked(Registry& reg) {
  std::map<ListenKey, bool> wanted;  // -> https
  std::map<std::uint16_t, bool> wildcardPorts;
  for (const Registration& r : reg.prefixes)
    if (ListenAddress(r.prefix).IsAny()) wildcardPorts[r.prefix.port] = true;
  for (const Registration& r : reg.prefixes) {
    IpAddress a = ListenAddress(r.prefix);
    if (wildcardPorts.count(r.prefix.port)) a = IpAddress::Any();
    wanted[{a, r.prefix.port}] = r.prefix.https;
  }
  for (auto it = reg.listeners.begin(); it != reg.listeners.end();) {
    auto w = wanted.find(it->first);
    if (w == wanted.end() || w->second != it->second->https()) {
      it->second->Close();
      it = reg.listeners.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [key, https] : wanted) {
    if (reg.listeners.count(key)) continue;
    int error = 0;
    int fd = OpenListenSocket(key.first, key.second, error);
    if (fd < 0) {
      if (error == 0) return ERROR_NO_SYSTEM_RESOURCES;
      if (error == EACCES) return ERROR_ACCESS_DENIED;
      // An address this machine does not have is not a port someone else holds.
      if (error == EADDRNOTAVAIL) return WSAEADDRNOTAVAIL;
      return ERROR_SHARING_VIOLATION;
    }
    auto listener = std::make_shared<Listener>(fd, key.first, key.second, https);
    if (!EventLoop::Instance().Add(listener, fd, EPOLLIN | EPOLLET)) return ERROR_NO_SYSTEM_RESOURCES;
    reg.listeners.emplace(key, listener);
  }
  return NO_ERROR;
}

TimeoutSettings MinTimeouts(TimeoutSettings a, const TimeoutSettings& b) {
  a.entityBody = std::min(a.entityBody, b.entityBody);
  a.drainEntityBody = std::min(a.drainEntityBody, b.drainEntityBody);
  a.requestQueue = std::min(a.requestQueue, b.requestQueue);
  a.idleConnection = std::min(a.idleConnection, b.idleConnection);
  a.headerWait = std::min(a.headerWait, b.headerWait);
  a.minSendRate = std::max(a.minSendRate, b.minSendRate);
  return a;
}

void RecomputeConnectionTimeoutsLocked(Registry& reg) {
  TimeoutSettings t;
  bool any = false;
  auto take = [&](const std::optional<TimeoutSettings>& s) {
    if (!s) return;
    t = any ? MinTimeouts(t, *s) : *s;
    any = true;
  };
  for (auto& [id, s] : reg.sessions) {
    std::lock_guard g(s->lock);
    take(s->timeouts);
  }
  for (auto& [id, grp] : reg.groups) {
    std::lock_guard g(grp->lock);
    take(grp->timeouts);
  }
  std::lock_guard g(reg.timeoutsLock);
  reg.connectionTimeouts = any ? t : TimeoutSettings{};
}

std::optional<TimeoutSettings> ParseTimeouts(const HTTP_TIMEOUT_LIMIT_INFO& info) {
  if (!info.Flags.Present) return std::nullopt;
  TimeoutSettings t;
  auto pick = [](USHORT v, std::chrono::seconds fallback) {
    return v ? std::chrono::seconds(v) : fallback;
  };
  t.entityBody = pick(info.EntityBody, t.entityBody);
  t.drainEntityBody = pick(info.DrainEntityBody, t.drainEntityBody);
  t.requestQueue = pick(info.RequestQueue, t.requestQueue);
  t.idleConnection = pick(info.IdleConnection, t.idleConnection);
  t.headerWait = pick(info.HeaderWait, t.headerWait);
  if (info.MinSendRate) t.minSendRate = info.MinSendRate;
  return t;
}

// Bandwidth from a QoS record: ok=false for a value the API refuses.
bool ParseBandwidth(const HTTP_QOS_SETTING_INFO& qos, std::shared_ptr<TokenBucket>& out) {
  auto* info = static_cast<const HTTP_BANDWIDTH_LIMIT_INFO*>(qos.QosSetting);
  if (!info) return false;
  if (!info->Flags.Present || info->MaxBandwidth == HTTP_LIMIT_INFINITE) {
    out.reset();
    return true;
  }
  if (info->MaxBandwidth < HTTP_MIN_ALLOWED_BANDWIDTH_THROTTLING_RATE) return false;
  out = std::make_shared<TokenBucket>(info->MaxBandwidth);
  return true;
}

}  // namespace

TokenBucket::TokenBucket(ULONG bytesPerSecond)
    : rate_(bytesPerSecond), tokens_(bytesPerSecond / 10.0), last_(Clock::now()) {}

std::size_t TokenBucket::Take(std::size_t want) {
  std::lock_guard g(lock_);
  auto now = Clock::now();
  tokens_ = std::min(rate_, tokens_ + rate_ * std::chrono::duration<double>(now - last_).count());
  last_ = now;
  if (tokens_ < 1) return 0;
  auto n = static_cast<std::size_t>(std::min<double>(static_cast<double>(want), tokens_));
  tokens_ -= static_cast<double>(n);
  return n;
}

TimeoutSettings ConnectionTimeouts() {
  Registry& reg = Reg();
  std::lock_guard g(reg.timeoutsLock);
  return reg.connectionTimeouts;
}

std::optional<Route> RouteRequest(bool https, const IpAddress& local, std::uint16_t port,
                                  std::string_view host, std::string_view cookedPath) {
  Registry& reg = Reg();
  std::shared_ptr<UrlGroup> best;
  {
    std::shared_lock g(reg.lock);
    long bestRank = -1;
    for (const Registration& r : reg.prefixes) {
      long rank = MatchRank(r.prefix, https, local, port, host, cookedPath);
      if (rank > bestRank) {
        bestRank = rank;
        best = r.group;
      }
    }
  }
  if (!best) return std::nullopt;
  Route route;
  route.group = best;
  std::optional<TimeoutSettings> timeouts;
  {
    std::lock_guard g(best->lock);
    route.queue = best->queue;
    route.log = best->log;
    route.bandwidth = best->bandwidth;
    route.basicAuth = best->basicAuth;
    timeouts = best->timeouts;
  }
  if (best->session && (!timeouts || !route.bandwidth)) {
    std::lock_guard g(best->session->lock);
    if (!timeouts) timeouts = best->session->timeouts;
    if (!route.bandwidth) route.bandwidth = best->session->bandwidth;
  }
  route.timeouts = timeouts ? *timeouts : TimeoutSettings{};
  return route;
}

void CloseAllSessions() {
  Registry& reg = Reg();
  std::unique_lock g(reg.lock);
  reg.prefixes.clear();
  reg.groups.clear();
  reg.sessions.clear();
  ReconcileListenersLocked(reg);
  RecomputeConnectionTimeoutsLocked(reg);
}

}  // namespace quillon::platform::detail

namespace d = quillon::platform::detail;

ULONG HttpCreateServerSession(HTTPAPI_VERSION Version, PHTTP_SERVER_SESSION_ID pServerSessionId,
                              ULONG Reserved) {
  if (!pServerSessionId || Reserved != 0 || Version.HttpApiMajorVersion != 2)
    return ERROR_INVALID_PARAMETER;
  auto session = std::make_shared<d::Session>();
  session->id = d::NewId();
  d::Registry& reg = d::Reg();
  std::unique_lock g(reg.lock);
  reg.sessions.emplace(session->id, session);
  *pServerSessionId = session->id;
  return NO_ERROR;
}

ULONG HttpCloseServerSession(HTTP_SERVER_SESSION_ID ServerSessionId) {
  d::Registry& reg = d::Reg();
  std::unique_lock g(reg.lock);
  auto it = reg.sessions.find(ServerSessionId);
  if (it == reg.sessions.end()) return ERROR_INVALID_PARAMETER;
  auto session = it->second;
  reg.sessions.erase(it);
  // The session's groups, and their prefixes, go with it.
  for (auto gi = reg.groups.begin(); gi != reg.groups.end();) {
    gi = gi->second->session == session ? reg.groups.erase(gi) : std::next(gi);
  }
  std::erase_if(reg.prefixes, [&](const d::Registration& r) { return r.group->session == session; });
  d::ReconcileListenersLocked(reg);
  d::RecomputeConnectionTimeoutsLocked(reg);
  return NO_ERROR;
}

ULONG HttpSetServerSessionProperty(HTTP_SERVER_SESSION_ID ServerSessionId,
                                   HTTP_SERVER_PROPERTY Property, PVOID pPropertyInformation,
                                   ULONG PropertyInformationLength) {
  d::Registry& reg = d::Reg();
  std::unique_lock g(reg.lock);
  auto it = reg.sessions.find(ServerSessionId);
  if (it == reg.sessions.end() || !pPropertyInformation) return ERROR_INVALID_PARAMETER;
  d::Session& s = *it->second;
  switch (Property) {
    case HttpServerQosProperty: {
      if (PropertyInformationLength < sizeof(HTTP_QOS_SETTING_INFO)) return ERROR_INVALID_PARAMETER;
      auto* qos = static_cast<HTTP_QOS_SETTING_INFO*>(pPropertyInformation);
      if (qos->QosType != HttpQosSettingTypeBandwidth) return ERROR_INVALID_PARAMETER;
      std::shared_ptr<d::TokenBucket> bucket;
      if (!d::ParseBandwidth(*qos, bucket)) return ERROR_INVALID_PARAMETER;
      std::lock_guard sg(s.lock);
      s.bandwidth = bucket;
      return NO_ERROR;
    }
    case HttpServerTimeoutsProperty: {
      if (PropertyInformationLength < sizeof(HTTP_TIMEOUT_LIMIT_INFO)) return ERROR_INVALID_PARAMETER;
      auto t = d::ParseTimeouts(*static_cast<HTTP_TIMEOUT_LIMIT_INFO*>(pPropertyInformation));
      {
        std::lock_guard sg(s.lock);
        s.timeouts = t;
      }
      d::RecomputeConnectionTimeoutsLocked(reg);
      return NO_ERROR;
    }
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

ULONG HttpCreateUrlGroup(HTTP_SERVER_SESSION_ID ServerSessionId, PHTTP_URL_GROUP_ID pUrlGroupId,
                         ULONG Reserved) {
  if (!pUrlGroupId || Reserved != 0) return ERROR_INVALID_PARAMETER;
  d::Registry& reg = d::Reg();
  std::unique_lock g(reg.lock);
  auto it = reg.sessions.find(ServerSessionId);
  if (it == reg.sessions.end()) return ERROR_INVALID_PARAMETER;
  auto group = std::make_shared<d::UrlGroup>();
  group->id = d::NewId();
  group->session = it->second;
  reg.groups.emplace(group->id, group);
  *pUrlGroupId = group->id;
  return NO_ERROR;
}

ULONG HttpCloseUrlGroup(HTTP_URL_GROUP_ID UrlGroupId) {
  d::Registry& reg = d::Reg();
  std::unique_lock g(reg.lock);
  auto it = reg.groups.find(UrlGroupId);
  if (it == reg.groups.end()) return ERROR_INVALID_PARAMETER;
  auto group = it->second;
  reg.groups.erase(it);
  std::erase_if(reg.prefixes, [&](const d::Registration& r) { return r.group == group; });
  d::ReconcileListenersLocked(reg);
  d::RecomputeConnectionTimeoutsLocked(reg);
  return NO_ERROR;
}

ULONG HttpSetUrlGroupProperty(HTTP_URL_GROUP_ID UrlGroupId, HTTP_SERVER_PROPERTY Property,
                              PVOID pPropertyInformation, ULONG PropertyInformationLength) {
  d::Registry& reg = d::Reg();
  std::unique_lock g(reg.lock);
  auto it = reg.groups.find(UrlGroupId);
  if (it == reg.groups.end() || !pPropertyInformation) return ERROR_INVALID_PARAMETER;
  d::UrlGroup& grp = *it->second;
  switch (Property) {
    case HttpServerBindingProperty: {
      if (PropertyInformationLength < sizeof(HTTP_BINDING_INFO)) return ERROR_INVALID_PARAMETER;
      auto* info = static_cast<HTTP_BINDING_INFO*>(pPropertyInformation);
      d::KernelRef<d::RequestQueue> queue;
      if (info->Flags.Present) {
        queue = d::ReferenceHandleAs<d::RequestQueue>(info->RequestQueueHandle,
                                                      d::KernelObject::Type::RequestQueue);
        if (!queue) return ERROR_INVALID_PARAMETER;
      }
      std::lock_guard gg(grp.lock);
      grp.queue = queue;
      return NO_ERROR;
    }
    case HttpServerLoggingProperty: {
      if (PropertyInformationLength < sizeof(HTTP_LOGGING_INFO)) return ERROR_INVALID_PARAMETER;
      auto* info = static_cast<HTTP_LOGGING_INFO*>(pPropertyInformation);
      std::shared_ptr<quillon::platform::W3CLog> log;
      if (info->Flags.Present) {
        if (info->Format != HttpLoggingTypeW3C) return ERROR_NOT_SUPPORTED;
        if (!info->DirectoryName || !info->DirectoryNameLength) return ERROR_INVALID_PARAMETER;
        if (info->RolloverType > HttpLoggingRolloverHourly) return ERROR_INVALID_PARAMETER;
        if (info->RolloverType == HttpLoggingRolloverSize &&
            info->RolloverSize < HTTP_MIN_ALLOWED_LOG_FILE_ROLLOVER_SIZE)
          return ERROR_INVALID_PARAMETER;
        quillon::platform::W3CLogConfig config = quillon::platform::W3CLogConfigFromInfo(*info);
        try {
          log = std::make_shared<quillon::platform::W3CLog>(std::move(config));
        } catch (const std::system_error&) {
          return ERROR_PATH_NOT_FOUND;
        } catch (const std::exception&) {
          return ERROR_INVALID_PARAMETER;
        }
      }
      std::lock_guard gg(grp.lock);
      grp.log = log;
      return NO_ERROR;
    }
    case HttpServerQosProperty: {
      if (PropertyInformationLength < sizeof(HTTP_QOS_SETTING_INFO)) return ERROR_INVALID_PARAMETER;
      auto* qos = static_cast<HTTP_QOS_SETTING_INFO*>(pPropertyInformation);
      if (qos->QosType == HttpQosSettingTypeBandwidth) {
        std::shared_ptr<d::TokenBucket> bucket;
        if (!d::ParseBandwidth(*qos, bucket)) return ERROR_INVALID_PARAMETER;
        std::lock_guard gg(grp.lock);
        grp.bandwidth = bucket;
        return NO_ERROR;
      }
      if (qos->QosType == HttpQosSettingTypeConnectionLimit) {
        auto* info = static_cast<HTTP_CONNECTION_LIMIT_INFO*>(qos->QosSetting);
        if (!info) return ERROR_INVALID_PARAMETER;
        std::lock_guard gg(grp.lock);
        grp.maxConnections = info->Flags.Present ? info->MaxConnections : HTTP_LIMIT_INFINITE;
        return NO_ERROR;
      }
      return ERROR_INVALID_PARAMETER;
    }
    case HttpServerTimeoutsProperty: {
      if (PropertyInformationLength < sizeof(HTTP_TIMEOUT_LIMIT_INFO)) return ERROR_INVALID_PARAMETER;
      auto t = d::ParseTimeouts(*static_cast<HTTP_TIMEOUT_LIMIT_INFO*>(pPropertyInformation));
      {
        std::lock_guard gg(grp.lock);
        grp.timeouts = t;
      }
      d::RecomputeConnectionTimeoutsLocked(reg);
      return NO_ERROR;
    }
    case HttpServerAuthenticationProperty: {
      if (PropertyInformationLength < sizeof(HTTP_SERVER_AUTHENTICATION_INFO))
        return ERROR_INVALID_PARAMETER;
      auto* info = static_cast<HTTP_SERVER_AUTHENTICATION_INFO*>(pPropertyInformation);
      bool basic = info->Flags.Present && (info->AuthSchemes & HTTP_AUTH_ENABLE_BASIC);
      if (info->Flags.Present && !basic && info->AuthSchemes) return ERROR_NOT_SUPPORTED;
      std::lock_guard gg(grp.lock);
      grp.basicAuth = basic;
      return NO_ERROR;
    }
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

ULONG HttpAddUrlToUrlGroup(HTTP_URL_GROUP_ID UrlGroupId, PCSTR pFullyQualifiedUrl,
                           HTTP_URL_CONTEXT /*UrlContext*/, ULONG Reserved) {
  if (!pFullyQualifiedUrl || Reserved != 0) return ERROR_INVALID_PARAMETER;
  auto prefix = d::ParseUrlPrefix(pFullyQualifiedUrl);
  if (!prefix) return ERROR_INVALID_PARAMETER;
  d::Registry& reg = d::Reg();
  std::unique_lock g(reg.lock);
  auto it = reg.groups.find(UrlGroupId);
  if (it == reg.groups.end()) return ERROR_INVALID_PARAMETER;
  for (const d::Registration& r : reg.prefixes) {
    if (r.prefix.canonical == prefix->canonical) return ERROR_ALREADY_EXISTS;
    // One port speaks either plain HTTP or TLS.
    if (r.prefix.port == prefix->port && r.prefix.https != prefix->https)
      return ERROR_ALREADY_EXISTS;
  }
  reg.prefixes.push_back(d::Registration{*prefix, it->second});
  ULONG rc = d::ReconcileListenersLocked(reg);
  if (rc != NO_ERROR) {
    reg.prefixes.pop_back();
    d::ReconcileListenersLocked(reg);
  }
  return rc;
}

ULONG HttpRemoveUrlFromUrlGroup(HTTP_URL_GROUP_ID UrlGroupId, PCSTR pFullyQualifiedUrl,
                                ULONG Flags) {
  d::Registry& reg = d::Reg();
  std::unique_lock g(reg.lock);
  auto it = reg.groups.find(UrlGroupId);
  if (it == reg.groups.end()) return ERROR_INVALID_PARAMETER;
  auto group = it->second;
  std::size_t before = reg.prefixes.size();
  if (Flags & HTTP_URL_FLAG_REMOVE_ALL) {
    std::erase_if(reg.prefixes, [&](const d::Registration& r) { return r.group == group; });
  } else {
    if (!pFullyQualifiedUrl) return ERROR_INVALID_PARAMETER;
    auto prefix = d::ParseUrlPrefix(pFullyQualifiedUrl);
    if (!prefix) return ERROR_INVALID_PARAMETER;
    std::erase_if(reg.prefixes, [&](const d::Registration& r) {
      return r.group == group && r.prefix.canonical == prefix->canonical;
    });
    if (reg.prefixes.size() == before) return ERROR_FILE_NOT_FOUND;
  }
  d::ReconcileListenersLocked(reg);
  return NO_ERROR;
}
