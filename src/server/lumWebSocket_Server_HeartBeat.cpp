// Heartbeat pings with the pong time-out check, and the watchdog with its self-connection.
#include <cstdio>
#include <ctime>

#include "connection/lumWebSocket_MonitorClient.h"
#include "server/lumWebSocket_Server_Base.h"
#include "server/lumWebSocket_Server_HeartBeat.h"
#include "util/lumMainThread.h"

namespace quillon {

namespace detail {

THeartBeatCheck CheckHeartBeat(TwsTime aNow, TwsTime aLastPing, TwsTime aLastPong,
                               TwsTime aFirstPing, int aTimeout, int aInterval) {
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  auto between = [](TwsTime a, TwsTime b) {
    const auto d = duration_cast<seconds>(a > b ? a - b : b - a).count();
    return d;
  };
  if (between(aLastPing, aLastPong) < aTimeout) return hbAnswered;
  if (aInterval >= aTimeout && between(aNow, aLastPing) >= aTimeout) return hbTimeout;
  if (aTimeout >= aInterval && between(aNow, aFirstPing) >= aTimeout) return hbTimeout;
  return hbWaiting;
}

}  // namespace detail

std::string TlumWSServer_Base::HeartBeatText() {
  const TwsTime now = Now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char text[96];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms < 0 ? ms + 1000 : ms));
  return text;
}

void TlumWSServer_Base::Ping() { DoHeartBeat(HeartBeatText()); }

void TlumWSServer_Base::DoHeartBeat(const std::string& aText) {
  DoBroadcast(bkHeartBeat, aText, {}, {}, {}, {}, {}, 0, stmNone);
}

void TlumWSServer_Base::StartHeartBeat() {
  if (!FHeartBeat.Enabled) return;
  std::lock_guard lock(FTimersLock);
  if (!FHeartBeatTimer) FHeartBeatTimer = NewTimer([this](TlumTimer* t) { OnHeartBeatTimer(t); });
  FHeartBeatTimer->SetInterval(FHeartBeat.Interval * 1000);
  if (FHeartBeatTimer->Interval() > 0) FHeartBeatTimer->SetEnabled(true);
}

void TlumWSServer_Base::StopHeartBeat() {
  std::lock_guard lock(FTimersLock);
  if (FHeartBeatTimeoutTimer) FHeartBeatTimeoutTimer->SetEnabled(false);
  if (FHeartBeatTimer) FHeartBeatTimer->SetEnabled(false);
}

void TlumWSServer_Base::OnHeartBeatTimer(TlumTimer* /*Sender*/) {
  if (IsDestroying()) return;
  Ping();
  if (FHeartBeat.Timeout < 1) return;
  std::lock_guard lock(FTimersLock);
  if (!FHeartBeatTimeoutTimer) {
    FHeartBeatTimeoutTimer = NewTimer([this](TlumTimer* t) { OnHeartBeatTimeoutTimer(t); });
  }
  FHeartBeatTimeoutTimer->SetInterval(FHeartBeat.Timeout * 1000);
  if (!FHeartBeatTimeoutTimer->Enabled()) FHeartBeatTimeoutTimer->SetEnabled(true);
}

void TlumWSServer_Base::OnHeartBeatTimeoutTimer(TlumTimer* /*Sender*/) {
  if (IsDestroying()) return;
  const int timeout = FHeartBeat.Timeout;
  const int interval = FHeartBeat.Interval;
  const TwsTime now = Now();
  std::vector<TConnection*> expired;
  TList* list = LockList();
  for (void* p : *list) {
    auto* c = static_cast<TConnection*>(p);
    const TwsTransport t = c->Transport();
    if (t != trpRFC6455 && t != trpHixie76 && t != trpFlash && t != trpRFC8441) continue;
    if (c->CustomHeartBeat()) continue;
    switch (detail::CheckHeartBeat(now, c->LastPing(), c->LastPong(), c->FirstPing(), timeout,
                                   interval)) {
      case detail::hbAnswered:
        c->SetFirstPing(TwsTime{});
        break;
      case detail::hbTimeout:
        c->AddRef();
        expired.push_back(c);
        break;
      case detail::hbWaiting:
        break;
    }
  }
  UnLockList();
  // Closing ends in the disconnect handler, which takes the list lock again: it must run
  // after the walk, and so must the application's exception handler.
  for (TConnection* c : expired) {
    NotifyException(c, "HeartBeat Timeout exceeded.");
    c->Release();
  }
}

void TlumWSServer_Base::StartWatchDog() {
  std::lock_guard lock(FTimersLock);
  if (!FWatchDogTimer) FWatchDogTimer = NewTimer([this](TlumTimer* t) { OnWatchDogTimer(t); });
  FWatchDogTimer->SetInterval(FWatchDog.Interval * 1000);
  if (FWatchDogTimer->Interval() > 0) FWatchDogTimer->SetEnabled(true);
}

void TlumWSServer_Base::StopWatchDog() {
  std::unique_ptr<TlumTimer> timer;
  {
    std::lock_guard lock(FTimersLock);
    timer = std::move(FWatchDogTimer);
  }
  // Joined outside the lock: a firing in progress may still want it.
  timer.reset();
}

void TlumWSServer_Base::OnWatchDogTimer(TlumTimer* Sender) {
  if (IsDestroying()) return;
  const bool active = GetActive();
  if (NotifyEvents() == neNoSync) {
    if (!active) {
      Start();
    } else if (FWatchDog.Monitor.Enabled) {
      DoMonitorCheck();
    }
  } else if (!active || FWatchDog.Monitor.Enabled) {
    MainThreadQueue::Queue(this, [this, active] {
      if (IsDestroying()) return;
      if (!active) {
        Start();
      } else {
        DoMonitorCheck();
      }
    });
  }
  if (FWatchDog.Attempts >= 1 && ++FWatchDogAttempts >= FWatchDog.Attempts) {
    // A timer cannot be freed from its own firing: stop it here, free it at deactivation.
    if (Sender != nullptr) Sender->SetEnabled(false);
  }
}

void TlumWSServer_Base::DoMonitorCheck() {
  const std::string secret = FWatchDogMonitorSecret;
  if (secret.empty()) return;
  std::string host;
  int port = 0;
  bool ssl = false;
  std::string path = "/";
  if (FBindingList.Count() == 0) {
    host = GetHost();
    port = GetPort();
    ssl = GetSSL();
  } else {
    const TlumWSBinding& b = FBindingList.Items(0);
    host = b.Host;
    port = b.Port;
    ssl = b.SSL;
    path = b.Parameters;
    if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');
  }
  if (path.back() != '/') path += '/';
  path += secret;
  if (!DoMonitorConnect(host, port, ssl, path, FWatchDog.Monitor.TimeOut * 1000)) ReStart();
}

bool TlumWSServer_Base::DoMonitorConnect(const std::string& aHost, int aPort, bool aSSL,
                                         const std::string& aPath, int aTimeOutMs) {
  TlumWSMonitorClient client;
  client.Host = aHost;
  client.Port = static_cast<std::uint16_t>(aPort);
  client.SSL = aSSL;
  client.Path = aPath;
  return client.Connect(std::chrono::milliseconds(aTimeOutMs));
}

}  // namespace quillon
