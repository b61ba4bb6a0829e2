// Test fixture: a server component over an in-memory connection list, and in-memory server
// connections whose canned HTTP answers, URL, local address and ping times tests can set
// and read.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "connection/MemoryConnection.h"
#include "httpapi/lumWebSocket_SRWLock.h"
#include "server/lumWebSocket_Server_Base.h"

namespace quillon::test {

class TTestConnection : public TMemoryConnection {
 public:
  struct TAnswer {
    int Code;
    std::string ContentType;
    std::string Body;
  };
  std::vector<TAnswer> Answers;
  std::string LocalAddress = "127.0.0.1";
  int LocalPortNumber = 80;

  // The header list: request line, headers, and (after an empty line) body lines.
  void SetRequest(std::vector<std::string> aLines) { FHeadersRequest = std::move(aLines); }
  void SetURL(std::string aURL) { FURL = std::move(aURL); }
  void SetPingTimes(TwsTime aLastPing, TwsTime aLastPong, TwsTime aFirstPing) {
    StoreTime(FLastPing, aLastPing);
    StoreTime(FLastPong, aLastPong);
    StoreTime(FFirstPing, aFirstPing);
  }
  void SetCloseCode(int aCode) { FCloseCode.store(aCode); }

  std::string GetLocalIP() override { return LocalAddress; }
  int GetLocalPort() override { return LocalPortNumber; }
  void SendHTTPContent(std::string_view aContent, std::string_view aContentType) override {
    Answers.push_back({200, std::string(aContentType), std::string(aContent)});
  }
  void SendHTTPStatus(int aCode, std::string_view aText) override {
    Answers.push_back({aCode, {}, std::string(aText)});
  }
};

using TTestConnectionPtr = std::unique_ptr<TTestConnection, TFree>;

// A connection as the dispatch makes it: attached, not yet upgraded.
inline TTestConnectionPtr NewRequest(std::vector<std::string> aLines) {
  TTestConnectionPtr c(new TTestConnection());
  c->SetRequest(std::move(aLines));
  return c;
}

// An upgraded connection that the server lists; the list holds the creator's reference.
inline TTestConnection* NewOpenConnection() {
  auto* c = new TTestConnection();
  c->Open();
  return c;
}

class TTestServer : public TlumWSServer_Base {
 public:
  std::atomic<int> Starts{0};
  std::atomic<int> Stops{0};
  std::atomic<int> MonitorCalls{0};
  bool MonitorResult = true;
  std::string MonitorPath;

  TTestServer() { SetHost("127.0.0.1"); }
  ~TTestServer() override { DestroyComponent(); }

  using TlumWSServer_Base::DoUpgradeAuthentication;
  using TlumWSServer_Base::HeartBeatText;
  void SetFActiveForTest(bool aValue) { SetFActive(aValue); }
  bool HasHeartBeatTimeoutTimer() {
    std::lock_guard lock(FTimersLock);
    return FHeartBeatTimeoutTimer != nullptr;
  }
  bool WatchDogTimerEnabled() {
    std::lock_guard lock(FTimersLock);
    return FWatchDogTimer != nullptr && FWatchDogTimer->Enabled();
  }
  TlumTimer* WatchDogTimer() {
    std::lock_guard lock(FTimersLock);
    return FWatchDogTimer.get();
  }

 protected:
  TList* LockList() override { return FList.LockList(); }
  void UnLockList() override { FList.UnLockList(); }
  TList* ShareList() override { return FList.ShareList(); }
  void UnShareList() override { FList.UnShareList(); }
  void DoStart() override {
    TlumWSServer_Base::DoStart();
    ++Starts;
    SetFActive(true);
  }
  void DoStop() override {
    TlumWSServer_Base::DoStop();
    ++Stops;
    SetFActive(false);
  }
  bool DoMonitorConnect(const std::string&, int, bool, const std::string& aPath, int) override {
    MonitorPath = aPath;
    ++MonitorCalls;
    return MonitorResult;
  }

 private:
  TlumSRWLockList FList;
};

// Frames the server wrote to a connection, as (first byte, payload) pairs.
inline std::vector<TFrame> FramesOf(const TMemoryConnection& c) { return ParseFrames(c.AllWritten()); }

}  // namespace quillon::test
