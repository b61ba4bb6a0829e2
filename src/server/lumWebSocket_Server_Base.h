// The server component apart from its transport: option groups, event raising with its
// routing and notification modes, the registry of live connections (look-up, targeted
// writes, broadcasts, disconnect-all, deferred freeing), request classification with the
// fall-back transports and built-in documents, WebSocket authentication, heartbeat and
// watchdog, and asynchronous start/stop. A concrete server (the HTTP Server API one)
// supplies the connection list and its locks, host and port, and the start and stop steps.
//
// Implementation is split by concern: lumWebSocket_Server_Base.cpp (events, registry,
// activation), lumWebSocket_Server_Classify.cpp (classification and authentication),
// lumWebSocket_Server_BuiltIn.cpp (documents), lumWebSocket_Server_HeartBeat.cpp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "connection/lumWebSocket_Classes_Server.h"
#include "connection/lumWebSocket_Extensions.h"
#include "server/lumBase_Classes.h"
#include "server/lumWebSocket_Protocol_Base_Server.h"
#include "server/lumWebSocket_Server_OAuth2.h"
#include "server/lumWebSocket_Server_Options.h"
#include "util/lumWebSocket_Classes_Queues.h"
#include "util/lumWebSocket_Classes_Timer.h"

namespace quillon {

class TlumWSServer_Base;

using TlumWSConnectEvent = std::function<void(TlumWSConnection* Connection)>;
using TlumWSServerDisconnectEvent = std::function<void(TlumWSConnection* Connection, int Code)>;
using TlumWSErrorEvent = std::function<void(TlumWSConnection* Connection, const std::string& Error)>;
// Connection is null for errors of the component itself (a timer handler).
using TlumWSExceptionEvent =
    std::function<void(TlumWSConnection* Connection, const std::exception& E)>;
using TlumWSUnknownProtocolEvent = std::function<void(TlumWSConnection* Connection, bool& Accept)>;
using TlumWSBeforeHeartBeatEvent =
    std::function<void(TlumWSServer_Base* Sender, TlumWSConnection* Connection, bool& Handled)>;
using TlumWSServerNotifyEvent = std::function<void(TlumWSServer_Base* Sender)>;

namespace detail {
// Notifications of one event kind waiting to be raised elsewhere (the main thread, or the
// application's own processing of held-back messages). Each entry keeps its connection
// alive with a reference until it has run or been dropped.
class TlumNotifyList {
 public:
  using TCall = std::function<void(TlumWSConnection*)>;
  TlumNotifyList() = default;
  ~TlumNotifyList();
  TlumNotifyList(const TlumNotifyList&) = delete;
  TlumNotifyList& operator=(const TlumNotifyList&) = delete;

  void Push(TlumWSConnection* aConnection, TCall aCall);
  // Runs the entries in order and removes them; returns at once while another drain of
  // this list is running (the running drain picks up what arrives meanwhile).
  void Drain();
  void Clear();
  int Count();

 private:
  struct TEntry {
    TlumWSConnection* Connection;
    TCall Call;
  };
  static void ReleaseEntry(TEntry& aEntry);
  std::mutex FMutex;  // guards FItems and FRunning
  std::deque<TEntry> FItems;
  bool FRunning = false;
};
}  // namespace detail

// Events and how they reach the application.
class TlumWSComponent_Base : public TlumTCPComponent_Base {
 public:
  ~TlumWSComponent_Base() override;

  // While set, message, binary and fragmented events are held until ProcessQueueMessages.
  bool QueueMessages() const { return FQueueMessages.load(std::memory_order_acquire); }
  void SetQueueMessages(bool Value) { FQueueMessages.store(Value, std::memory_order_release); }
  // Raises the held-back events on the calling thread, messages first, then binary, then
  // fragmented, each kind in arrival order.
  void ProcessQueueMessages();
  void ClearQueueMessages();
  int QueuedMessagesCount();

  TlumWSConnectEvent OnConnect;
  TlumWSServerDisconnectEvent OnDisconnect;
  TlumWSMessageEvent OnMessage;
  TlumWSBinaryEvent OnBinary;
  TlumWSFragmentedEvent OnFragmented;
  TlumWSErrorEvent OnError;
  TlumWSExceptionEvent OnException;

 protected:
  enum TEventKind { ekConnect, ekDisconnect, ekMessage, ekBinary, ekFragmented, ekError, ekException,
                    ekCount };
  // Raises now, or queues to the main thread, as NotifyEvents says.
  void RaiseByMode(TEventKind aKind, TlumWSConnection* aConnection, detail::TlumNotifyList::TCall aCall);
  // Held back when QueueMessages is set; false when raised by mode instead.
  bool HoldMessage(TEventKind aKind, TlumWSConnection* aConnection,
                   const detail::TlumNotifyList::TCall& aCall);

  std::atomic<bool> FQueueMessages{false};
  detail::TlumNotifyList FQueueMessage, FQueueBinary, FQueueFragmented;
  detail::TlumNotifyList FNotify[ekCount];
};

// Sub-protocol and API objects, heartbeat, watchdog timer, extensions and the routing of
// events to objects.
class TlumWSComponent : public TlumWSComponent_Base {
 public:
  TlumWSComponent();
  ~TlumWSComponent() override;

  void RegisterProtocol(TlumWSProtocol_Base_Server* aProtocol);
  void UnRegisterProtocol(TlumWSProtocol_Base_Server* aProtocol);
  void UnRegisterProtocol(std::string_view aName);
  void RegisterAPI(TlumWSAPI_Base_Server* aAPI);
  void UnRegisterAPI();
  // Names of the registered protocol objects, comma-separated: what a connection may
  // negotiate.
  std::string GetProtocols();
  // Registered objects whose name equals aName ignoring case.
  std::vector<TlumWSProtocol_Base_Server*> GetProtocolObjects(std::string_view aName);

  TlumWSSpecifications_Options& Specifications() { return FSpecifications; }
  void SetSpecifications(const TlumWSSpecifications_Options& V) { FSpecifications.Assign(V); }
  TlumWSLogFile_Options& LogFile() { return FLogFile; }
  void SetLogFile(const TlumWSLogFile_Options& V) { FLogFile.Assign(V); }
  TlumWSHeartBeat_Options& HeartBeat() { return FHeartBeat; }
  void SetHeartBeat(const TlumWSHeartBeat_Options& V) { FHeartBeat.Assign(V); }
  TlumWSTCPKeepAlive_Options& TCPKeepAlive() { return FTCPKeepAlive; }
  void SetTCPKeepAlive(const TlumWSTCPKeepAlive_Options& V) { FTCPKeepAlive.Assign(V); }
  TlumWSExtensions& Extensions() { return FExtensions; }
  void SetExtensions(const TlumWSExtensions& V) { FExtensions.Assign(V); }
  void SetNotifyEvents(TwsNotifyEvent Value) override;

  TlumWSHandshakeEvent OnHandshake;

  // ---- Notifications: the routing rules, then the notification mode. ----
  void NotifyConnect(TlumWSConnection* aConnection);
  // Raises the disconnect event (when the connection asks for it), then hands the
  // connection over for freeing.
  void NotifyDisconnect(TlumWSConnection* aConnection);
  void NotifyMessage(TlumWSConnection* aConnection, const std::string& aText);
  void NotifyBinary(TlumWSConnection* aConnection, TBytesView aData);
  void NotifyFragmented(TlumWSConnection* aConnection, TBytesView aData, TOpcode aOpCode,
                        bool aContinuation);
  // Error and exception notifications close the connection; errors inside are swallowed.
  void NotifyError(TlumWSConnection* aConnection, const std::string& aError);
  void NotifyException(TlumWSConnection* aConnection, std::exception_ptr aError);
  void NotifyException(TlumWSConnection* aConnection, const std::string& aMessage);

 protected:
  // The connection's disconnect is over: the server frees it (at once or later).
  virtual void DoReleaseConnection(TlumWSConnection* aConnection) = 0;
  static void CloseAfterError(TlumWSConnection* aConnection);
  // Hands an event to protocol or API objects. True when the component's own event must
  // not be raised.
  bool RouteToObjects(TlumWSConnection* aConnection, bool aFirstOnly,
                      const std::function<void(TlumWSEventsObject_Base*)>& aCall);
  // Timers made on first need, with this component's notification mode.
  std::unique_ptr<TlumTimer> NewTimer(TlumTimer::TNotifyEvent aHandler);
  virtual void OnHeartBeatTimer(TlumTimer* /*Sender*/) {}
  virtual void OnHeartBeatTimeoutTimer(TlumTimer* /*Sender*/) {}
  virtual void OnWatchDogTimer(TlumTimer* /*Sender*/) {}
  virtual void OnConnectionsFreeTimer(TlumTimer* /*Sender*/) {}

  std::mutex FObjectsLock;  // guards the protocol list and the API object
  std::vector<TlumWSProtocol_Base_Server*> FProtocolObjectList;  // not owned
  TlumWSAPI_Base_Server* FAPI = nullptr;                         // not owned
  TlumWSSpecifications_Options FSpecifications;
  TlumWSLogFile_Options FLogFile;
  TlumWSHeartBeat_Options FHeartBeat;
  TlumWSTCPKeepAlive_Options FTCPKeepAlive;
  TlumWSExtensions FExtensions;

  // Guards creation and release of the four timers below (never held while one fires).
  std::mutex FTimersLock;
  std::unique_ptr<TlumTimer> FHeartBeatTimeoutTimer;
  std::unique_ptr<TlumTimer> FHeartBeatTimer;
  std::unique_ptr<TlumTimer> FWatchDogTimer;
  std::unique_ptr<TlumTimer> FConnectionsFreeTimer;
  std::atomic<int> FWatchDogAttempts{0};
  std::atomic<bool> FWatchDogEnabled{false};
};

// The connection cache and channel registry, deferred freeing, optimisations, watchdog
// options and the unknown-protocol event.
class TlumWSComponent_Server : public TlumWSComponent {
 public:
  using TConnectionCache = TlumCacheQueueListConnections<TlumWSConnection>;
  using TChannels = TlumQueueListChannels<TlumWSConnection>;

  TlumWSComponent_Server();
  ~TlumWSComponent_Server() override;

  TlumWSOptimizations_Options& Optimizations() { return FOptimizations; }
  void SetOptimizations(const TlumWSOptimizations_Options& V) { FOptimizations.Assign(V); }
  TlumWSWatchDog_Options& WatchDog() { return FWatchDog; }
  void SetWatchDog(const TlumWSWatchDog_Options& V) { FWatchDog.Assign(V); }
  // Enabled connections by GUID (created on first use).
  TConnectionCache& ConnectionCache();
  TChannels& Channels() { return FChannels; }
  // Connections handed over for freeing and not freed yet.
  int ConnectionsFreeCount();
  // Frees every connection waiting to be freed.
  void FreeWaitingConnections();

  TlumWSUnknownProtocolEvent OnUnknownProtocol;

 protected:
  void DoReleaseConnection(TlumWSConnection* aConnection) override;
  void OnConnectionsFreeTimer(TlumTimer* Sender) override;
  void StartConnectionsFreeTimer();
  void StopConnectionsFreeTimer();

  std::once_flag FCacheOnce;
  std::unique_ptr<TConnectionCache> FConnectionCache;
  TChannels FChannels;
  std::mutex FConnectionsFreeLock;  // guards FConnectionsFree
  std::vector<TlumWSConnection*> FConnectionsFree;  // each holds its creator's reference
  TlumWSOptimizations_Options FOptimizations;
  TlumWSWatchDog_Options FWatchDog;
};

class TlumWSServer_Base : public TlumWSComponent_Server {
 public:
  // The connection class the registry holds.
  using TConnection = TlumWSConnectionServer_Base;
  using TClock = std::function<TwsTime()>;

  TlumWSServer_Base();
  ~TlumWSServer_Base() override;

  // ---- Activation. ----
  bool Active() { return GetActive(); }
  void SetActive(bool Value);
  // Activation on short-lived threads of their own, serialised on the component lock.
  void Start();
  void Stop();
  void ReStart();
  virtual bool IsStopping() { return IsDestroying(); }

  std::string Host() { return GetHost(); }
  void SetHost(std::string Value) { DoSetHost(std::move(Value)); }
  int Port() { return GetPort(); }
  void SetPort(int Value) { DoSetPort(Value); }
  bool SSL() { return GetSSL(); }
  void SetSSL(bool Value) { DoSetSSL(Value); }

  // ---- Options. ----
  TlumWSBindings& Bindings() { return FBindingList; }
  void SetBindings(const TlumWSBindings& V) { FBindingList.Assign(V); }
  TlumWSOptionsServer& Options() { return FOptions; }
  void SetOptions(const TlumWSOptionsServer& V) { FOptions.Assign(V); }
  TlumWSSecurityOptions& SecurityOptions() { return FSecurityOptions; }
  void SetSecurityOptions(const TlumWSSecurityOptions& V) { FSecurityOptions.Assign(V); }
  TlumWSQueueOptions& QueueOptions() { return FQueueOptions; }
  void SetQueueOptions(const TlumWSQueueOptions& V) { FQueueOptions.Assign(V); }
  TlumWSAuthenticationServer_Options& Authentication() { return FAuthentication; }
  void SetAuthentication(const TlumWSAuthenticationServer_Options& V) { FAuthentication.Assign(V); }
  TlumWSFallBack_Options& FallBack() { return FFallBack; }
  void SetFallBack(const TlumWSFallBack_Options& V) { FFallBack.Assign(V); }

  // ---- Registry. ----
  int Count();  // shared lock
  // The connection at a position, or null (shared lock). Valid while it stays listed.
  TConnection* Connections(int aIndex);
  // Exclusive lock; null when no listed connection has the GUID.
  TConnection* ConnectionsByGUID(std::string_view aGuid);
  // False for an unknown, not yet enabled or disconnected connection, or a failed write.
  bool WriteData(std::string_view aGuid, std::string_view aMessage);
  bool WriteData(std::string_view aGuid, TBytesView aStream, int aSize = 0,
                 TwsStreaming aStreaming = stmNone);
  // Exclude and Include are comma-separated GUID lists (empty: no restriction).
  void Broadcast(std::string_view aMessage, std::string_view aChannel = {},
                 std::string_view aProtocol = {}, std::string_view Exclude = {},
                 std::string_view Include = {});
  void Broadcast(TBytesView aStream, std::string_view aChannel = {},
                 std::string_view aProtocol = {}, std::string_view Exclude = {},
                 std::string_view Include = {}, int aSize = 0, TwsStreaming aStreaming = stmNone);
  // Asks every active, not disconnected connection to end (outside the list lock).
  void DisconnectAll();
  // One heartbeat pass now.
  void Ping();

  // The concrete server lists connections only through these, which keep the GUID index.
  virtual void AddConnection(TConnection* aConnection);
  virtual void RemoveConnection(TConnection* aConnection);
  // Frees every listed connection and empties the list.
  virtual void FreeConnections();

  // ---- Request handling (the concrete server's dispatch calls these). ----
  // 101 keep as WebSocket, 200 answered or kept as a fall-back stream, else not handled.
  virtual int DoProcessRequest(TConnection* aConnection);
  // Serves a built-in document for a GET line; see lumWebSocket_HTTPResponse.h.
  virtual bool DoBuiltInDocument(TConnection* aConnection, std::string_view aLine, bool aNotFound);
  bool ServeDocument(TConnection* aConnection, std::string_view aNames,
                     std::string_view aContentType, bool aNotFound);
  // Checks a user against AuthUsers and OnAuthentication; connections point their
  // OnAuthentication here when authentication is enabled.
  void OnServerAuthenticationEvent(TlumWSConnection* Connection, const std::string& aUser,
                                   const std::string& aPassword, bool& Authenticated);
  // "sessionid=user:password" lines.
  std::vector<std::string> SessionIDList();

  // The five handlers the concrete server assigns to each connection.
  void OnConnectionUpdate(TlumWSConnection* Connection, int aType);
  void OnConnectionMessage(TlumWSConnection* Connection, const std::string& Text);
  void OnConnectionBinary(TlumWSConnection* Connection, TBytesView Data);
  void OnConnectionFragmented(TlumWSConnection* Connection, TBytesView Data, TOpcode OpCode,
                              bool Continuation);
  void OnConnectionDisconnect(TlumWSConnection* Connection, int Code);

  // ---- Heartbeat and watchdog. ----
  const std::string& WatchDogMonitorSecret() const { return FWatchDogMonitorSecret; }
  int WatchDogAttempts() const { return FWatchDogAttempts.load(); }
  // The time source of the heartbeat (the system clock unless a test sets one).
  void SetClock(TClock aClock) { FClock = std::move(aClock); }
  TwsTime Now() const { return FClock ? FClock() : std::chrono::system_clock::now(); }

  TlumWSBeforeHeartBeatEvent OnBeforeHeartBeat;
  TlumWSAuthenticationEvent OnAuthentication;
  TlumWSServerNotifyEvent OnStartup;
  TlumWSServerNotifyEvent OnShutdown;

  // Exposed for the timers and for tests that drive them by hand.
  void OnHeartBeatTimer(TlumTimer* Sender) override;
  void OnHeartBeatTimeoutTimer(TlumTimer* Sender) override;
  void OnWatchDogTimer(TlumTimer* Sender) override;

 protected:
  // ---- Supplied by the concrete server. ----
  virtual TList* LockList() = 0;
  virtual void UnLockList() = 0;
  virtual TList* ShareList() = 0;
  virtual void UnShareList() = 0;
  virtual std::string GetHost() { return FHost; }
  virtual void DoSetHost(std::string Value) { FHost = std::move(Value); }
  virtual int GetPort() { return FPort; }
  virtual void DoSetPort(int Value) { FPort = Value; }
  virtual bool GetSSL() { return FSSL; }
  virtual void DoSetSSL(bool Value) { FSSL = Value; }
  virtual bool GetActive() { return FActive.load(std::memory_order_acquire); }
  void SetFActive(bool Value) { FActive.store(Value, std::memory_order_release); }
  // This level makes and forgets the watchdog secret; the concrete server opens and
  // closes its transport after / before calling these.
  virtual void DoStart();
  virtual void DoStop();

  // The body of an XHR or protocol post. This level takes the header lines after the first
  // empty line; a transport whose header list ends with the headers reads the body here.
  virtual std::string GetRequestBody(TConnection* aConnection);
  // Marks a connection as carrying messages (a fall-back stream or an accepted unknown
  // protocol).
  virtual void EnableConnection(TConnection* aConnection);
  // One self-connection of the watchdog monitor within aTimeOutMs; true on success.
  virtual bool DoMonitorConnect(const std::string& aHost, int aPort, bool aSSL,
                                const std::string& aPath, int aTimeOutMs);
  // The text of a heartbeat: the time as yyyymmddhhnnsszzz (local time).
  std::string HeartBeatText();
  void DoHeartBeat(const std::string& aText);
  void DoMonitorCheck();
  // A WebSocket upgrade's authentication; false refuses the upgrade.
  bool DoUpgradeAuthentication(TConnection* aConnection);
  // Answers a session request.
  void DoSessionRequest(TConnection* aConnection);
  // Call from the most derived destructor, while its list still exists: stops timers and
  // threads, frees listed and waiting connections. Safe to call more than once.
  void DestroyComponent();

 private:
  enum TBroadcastKind { bkText, bkStream, bkHeartBeat };
  void DoBroadcast(TBroadcastKind aKind, std::string_view aMessage, TBytesView aStream,
                   std::string_view aChannel, std::string_view aProtocol,
                   std::string_view Exclude, std::string_view Include, int aSize,
                   TwsStreaming aStreaming);
  // Looks up and keeps a reference (the caller releases it).
  TConnection* AcquireByGUID(std::string_view aGuid);
  bool WriteTo(std::string_view aGuid, const std::function<void(TConnection*)>& aWrite);
  void RunThread(std::function<void()> aWork);
  void StartHeartBeat();
  void StopHeartBeat();
  void StartWatchDog();
  void StopWatchDog();
  bool DoXHRPost(TConnection* aConnection);
  void DoProtocolPost(TConnection* aConnection);
  void DoFlashPolicy(TConnection* aConnection);
  void DoServerSentEvents(TConnection* aConnection);

  TlumWSBindings FBindingList;
  TlumWSOptionsServer FOptions;
  TlumWSSecurityOptions FSecurityOptions;
  TlumWSQueueOptions FQueueOptions;
  std::mutex FSessionLock;  // guards FSessionIDList
  std::vector<std::string> FSessionIDList;
  TlumWSAuthenticationServer_Options FAuthentication;
  TlumWSFallBack_Options FFallBack;
  std::string FWatchDogMonitorSecret;
  std::atomic<bool> FActive{false};
  bool FSSL = false;
  std::string FHost;
  int FPort = 0;
  TClock FClock;
  // GUID -> listed connection; changed only under the exclusive list lock.
  std::unordered_map<std::string, TConnection*> FGuidIndex;
  // Start/Stop/ReStart threads still running; the destructor waits for them.
  std::mutex FThreadsLock;
  std::condition_variable FThreadsDone;
  int FThreadCount = 0;
  bool FComponentDestroyed = false;
};

}  // namespace quillon
