#include "server/lumWebSocket_Server_HeartBeat.h"

#include <gtest/gtest.h>

#include <thread>

#include "server/ServerFixture.h"
#include "support/WaitUntil.h"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;
using detail::CheckHeartBeat;
using detail::THeartBeatCheck;

const TwsTime kT0 = TwsTime(std::chrono::seconds(1'700'000'000));

template <class F>
bool Eventually(F f, std::chrono::seconds aLimit = 3s) {
  return testwait::WaitUntil(f, aLimit);
}

TEST(HeartBeatRule, Table) {
  struct Case {
    const char* Name;
    int Interval, Timeout;
    int LastPing, LastPong, FirstPing, Now;  // seconds after kT0; -1 is "never"
    THeartBeatCheck Expected;
  };
  const Case cases[] = {
      {"pong right after the ping", 10, 30, 100, 100, 70, 200, detail::hbAnswered},
      {"never pinged", 10, 30, -1, -1, -1, 200, detail::hbAnswered},
      {"first unanswered ping is T old, last ping recent", 10, 30, 125, 60, 95, 125, detail::hbTimeout},
      {"first unanswered ping not yet T old", 10, 30, 115, 60, 95, 124, detail::hbWaiting},
      {"interval above timeout: last ping T old", 60, 30, 100, 20, 40, 130, detail::hbTimeout},
      {"interval above timeout: last ping younger than T", 60, 30, 100, 20, 40, 129, detail::hbWaiting},
      {"equal interval and timeout", 30, 30, 100, 40, 70, 130, detail::hbTimeout},
      {"pong older than the ping by under T", 10, 30, 100, 75, 100, 500, detail::hbAnswered},
  };
  auto at = [](int s) { return s < 0 ? TwsTime{} : kT0 + std::chrono::seconds(s); };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckHeartBeat(at(c.Now), at(c.LastPing), at(c.LastPong), at(c.FirstPing), c.Timeout,
                             c.Interval),
              c.Expected)
        << c.Name;
  }
}

class HeartBeat : public ::testing::Test {
 protected:
  void SetUp() override {
    server.SetClock([this] { return now; });
    server.HeartBeat().Interval = 10;
    server.HeartBeat().Timeout = 30;
  }
  TTestConnection* Add() {
    TTestConnection* c = NewOpenConnection();
    server.AddConnection(c);
    return c;
  }
  TwsTime now = kT0 + 1000s;
  TTestServer server;
};

TEST_F(HeartBeat, PassPingsOpenConnectionsAndClosesDeadOnes) {
  TTestConnection* open = Add();
  TTestConnection* custom = Add();
  TTestConnection* dead = Add();
  dead->SetDisconnected(true);
  server.OnBeforeHeartBeat = [&](TlumWSServer_Base* sender, TlumWSConnection* c, bool& handled) {
    EXPECT_EQ(sender, &server);
    handled = c == custom;
  };
  server.Ping();
  const auto frames = FramesOf(*open);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].FirstByte, 0x89);
  EXPECT_EQ(frames[0].Payload.size(), 17u);
  EXPECT_EQ(frames[0].Payload.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(frames[0].Payload, server.HeartBeatText());
  EXPECT_FALSE(open->CustomHeartBeat());
  EXPECT_TRUE(custom->Writes.empty());
  EXPECT_TRUE(custom->CustomHeartBeat());
  EXPECT_EQ(dead->DisconnectPeerCount, 1);
  EXPECT_TRUE(dead->Writes.empty());
}

TEST_F(HeartBeat, PingGoesToItsQueueWhenTheOptionsSaySo) {
  TTestConnection* c = Add();
  TlumWSQueueOptions q;
  q.Ping().SetLevel(qmLevel1);
  c->SetQueueOptions(q);
  server.Ping();
  EXPECT_TRUE(c->Writes.empty());
  EXPECT_EQ(c->QueueLevel(1).Count(), 1);
}

TEST_F(HeartBeat, TimeoutCheckClosesSilentConnectionsWithItsMessage) {
  TTestConnection* silent = Add();
  silent->SetPingTimes(now - 5s, now - 100s, now - 30s);
  TTestConnection* answering = Add();
  answering->SetPingTimes(now - 5s, now - 5s, now - 5s);
  TTestConnection* custom = Add();
  custom->SetPingTimes(now - 5s, now - 100s, now - 60s);
  custom->SetCustomHeartBeat(true);
  TTestConnection* stream = Add();
  stream->SetTransport(trpSSE);
  stream->SetPingTimes(now - 5s, now - 100s, now - 60s);

  std::vector<std::pair<TlumWSConnection*, std::string>> reported;
  server.OnException = [&](TlumWSConnection* c, const std::exception& e) {
    reported.emplace_back(c, e.what());
  };
  server.OnHeartBeatTimeoutTimer(nullptr);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].first, silent);
  EXPECT_EQ(reported[0].second, "HeartBeat Timeout exceeded.");
  EXPECT_EQ(silent->MsgException(), "HeartBeat Timeout exceeded.");
  EXPECT_TRUE(silent->Disconnected());
  EXPECT_EQ(silent->DisconnectPeerCount, 1);
  for (TTestConnection* c : {answering, custom, stream}) EXPECT_FALSE(c->Disconnected());
  EXPECT_EQ(answering->FirstPing(), TwsTime{});
}

TEST_F(HeartBeat, ClosedConnectionLeavesTheListFromTheTimeoutCheck) {
  // The close runs the disconnect handler, which takes the list lock itself.
  TTestConnection* silent = Add();
  silent->SetPingTimes(now - 5s, now - 100s, now - 30s);
  int disconnects = 0;
  server.OnDisconnect = [&](TlumWSConnection*, int) { ++disconnects; };
  server.OnException = [&](TlumWSConnection* c, const std::exception&) {
    server.OnConnectionDisconnect(c, 0);
  };
  server.OnHeartBeatTimeoutTimer(nullptr);
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(server.Count(), 0);
}

TEST_F(HeartBeat, ZeroTimeoutNeverMakesTheTimeoutTimer) {
  server.HeartBeat().Timeout = 0;
  server.OnHeartBeatTimer(nullptr);
  EXPECT_FALSE(server.HasHeartBeatTimeoutTimer());
  server.HeartBeat().Timeout = 30;
  server.OnHeartBeatTimer(nullptr);
  EXPECT_TRUE(server.HasHeartBeatTimeoutTimer());
}

TEST_F(HeartBeat, TimersPingAndCloseOnTheirOwn) {
  // Real timers, one-second settings: the pass pings, the check closes the silent peer.
  server.SetClock(nullptr);
  server.HeartBeat().Enabled = true;
  server.HeartBeat().Interval = 1;
  server.HeartBeat().Timeout = 1;
  TTestConnection* c = Add();
  std::atomic<int> timeouts{0};
  server.OnException = [&](TlumWSConnection*, const std::exception&) { ++timeouts; };
  server.SetActive(true);
  ASSERT_TRUE(Eventually([&] { return c->Disconnected(); }, 8s));
  EXPECT_GE(timeouts.load(), 1);
  EXPECT_FALSE(FramesOf(*c).empty());
  EXPECT_EQ(FramesOf(*c)[0].FirstByte, 0x89);
  server.SetActive(false);
}

// ---- Watchdog. ----

TEST(WatchDog, StartsAnInactiveServerAndStopsAfterItsAttempts) {
  TTestServer server;
  server.WatchDog().Enabled = true;
  server.WatchDog().Attempts = 3;
  server.SetActive(true);
  ASSERT_NE(server.WatchDogTimer(), nullptr);
  TlumTimer* timer = server.WatchDogTimer();
  server.SetFActiveForTest(false);
  server.OnWatchDogTimer(timer);
  ASSERT_TRUE(Eventually([&] { return server.Active(); }));
  EXPECT_EQ(server.Starts, 2);
  EXPECT_EQ(server.WatchDogAttempts(), 1);
  server.OnWatchDogTimer(timer);  // active, no monitor: nothing to do
  EXPECT_TRUE(server.WatchDogTimerEnabled());
  server.OnWatchDogTimer(timer);
  EXPECT_EQ(server.WatchDogAttempts(), 3);
  EXPECT_FALSE(server.WatchDogTimerEnabled());
  EXPECT_EQ(server.MonitorCalls, 0);
  server.SetActive(false);
  EXPECT_EQ(server.WatchDogTimer(), nullptr);
}

TEST(WatchDog, FailedMonitorRestartsTheServer) {
  TTestServer server;
  server.WatchDog().Enabled = true;
  server.WatchDog().Monitor.Enabled = true;
  server.SetPort(5420);
  server.SetActive(true);
  const std::string secret = server.WatchDogMonitorSecret();
  server.OnWatchDogTimer(nullptr);
  EXPECT_EQ(server.MonitorCalls, 1);
  EXPECT_EQ(server.MonitorPath, "/" + secret);
  EXPECT_EQ(server.Stops, 0);

  server.Bindings().NewBinding("127.0.0.1", 8080, "chat");
  server.MonitorResult = false;
  server.OnWatchDogTimer(nullptr);
  EXPECT_EQ(server.MonitorPath, "/chat/" + secret);
  ASSERT_TRUE(Eventually([&] { return server.Starts == 2 && server.Active(); }));
  EXPECT_EQ(server.Stops, 1);
  EXPECT_NE(server.WatchDogMonitorSecret(), secret);
  server.SetActive(false);
}

}  // namespace
}  // namespace quillon::test
