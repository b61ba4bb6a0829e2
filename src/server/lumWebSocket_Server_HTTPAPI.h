// The server component over the HTTP Server API: activation turns host, port and bindings
// into URL prefixes and brings up the request-queue host (logging, time-outs, limits, TLS
// bindings); every request is then dispatched on a pool worker, where a connection is made,
// classified and either kept (WebSocket, fall-back stream), answered at once, or handled as
// plain HTTP (authentication, then OnHTTPRequest). Classification, events and the registry
// are the base's (lumWebSocket_Server_Base.h); the web-module bridge derives from this.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connection/lumWebSocket_Classes_HTTPAPI.h"
#include "httpapi/lumWebSocket_HTTPAPI.h"
#include "httpapi/lumWebSocket_HTTPAPI_Server.h"
#include "httpapi/lumWebSocket_SRWLock.h"
#include "server/lumWebSocket_Server_Base.h"

namespace quillon {

class TlumWSTimeouts_HTTPAPI {
 public:
  bool Enabled = false;
  int EntityBody = 120;       // seconds
  int DrainEntityBody = 120;  // seconds
  int RequestQueue = 120;     // seconds
  int IdleConnection = 120;   // seconds
  int HeaderWait = 120;       // seconds
  int MinSendRate = 150;      // bytes per second
  void Assign(const TlumWSTimeouts_HTTPAPI& Source) { *this = Source; }
};

class TlumWSBindings_Options_HTTPAPI {
 public:
  bool ConfigureSSLCertificate = true;
  void Assign(const TlumWSBindings_Options_HTTPAPI& Source) { *this = Source; }
};

class TlumWSSSL_Options_HTTPAPI {
 public:
  std::string CertStoreName;  // empty means "MY"
  std::string Hash;           // SHA-1 thumbprint in hexadecimal
  void Assign(const TlumWSSSL_Options_HTTPAPI& Source) { *this = Source; }
};

class TlumWSServer_HTTPAPI;

using TlumWSServerAsynchronousEvent =
    std::function<void(TlumWSServer_HTTPAPI* Sender, TlumHTTPAPIContext& aContext, bool& Handled)>;
using TlumWSHTTPAPIBeforeBinding =
    std::function<void(TlumWSServer_HTTPAPI* Sender, std::vector<std::string>& Bindings)>;
using TlumWSHTTPAPIRequestEvent =
    std::function<void(TlumWSConnection_HTTPAPI* aConnection, const THttpServerRequest& aRequestInfo,
                       THttpServerResponse& aResponseInfo)>;

class TlumWSServer_HTTPAPI : public TlumWSServer_Base {
 public:
  TlumWSServer_HTTPAPI();
  ~TlumWSServer_HTTPAPI() override;

  // ---- Options (setting one copies the given object). ----
  TlumWSTimeouts_HTTPAPI& Timeouts() { return FTimeouts; }
  void SetTimeouts(const TlumWSTimeouts_HTTPAPI& V) { FTimeouts.Assign(V); }
  TlumWSBindings_Options_HTTPAPI& BindingOptions() { return FBindingOptions; }
  void SetBindingOptions(const TlumWSBindings_Options_HTTPAPI& V) { FBindingOptions.Assign(V); }
  TlumWSSSL_Options_HTTPAPI& SSLOptions() { return FSSLOptions; }
  virtual void SetSSLOptions(const TlumWSSSL_Options_HTTPAPI& V) { FSSLOptions.Assign(V); }
  // Reading the log options through this class cuts the file name to its folder: the
  // HTTP Server API names the files itself.
  TlumWSLogFile_Options& LogFile();

  bool Asynchronous() const { return FAsynchronous; }
  void SetAsynchronous(bool Value) { FAsynchronous = Value; }
  int MaxConnections() const { return FMaxConnections; }
  void SetMaxConnections(int Value) { FMaxConnections = Value; }
  int ThreadPoolSize() const { return FThreadPoolSize; }
  void SetThreadPoolSize(int Value) { FThreadPoolSize = Value; }
  int MaxBandwidth() const { return FMaxBandwidth; }
  void SetMaxBandwidth(int Value) { FMaxBandwidth = Value; }
  int ReadBufferSize() const { return FReadBufferSize; }
  void SetReadBufferSize(int Value) { FReadBufferSize = Value; }

  // The URL prefixes of the current activation, in registration order.
  std::vector<std::string> RegisteredBindings();
  // The request-queue host while active, else null. Start, Stop, ReStart and the watchdog
  // replace it under the component lock (DoEnterCS), so other threads read it under it too.
  TlumHTTPServerAPI* HTTPServerAPI() { return FTCPServer.get(); }
  bool IsStopping() override;

  TlumWSServerAsynchronousEvent OnAsynchronous;
  TlumWSHTTPAPIBeforeBinding OnBeforeBinding;
  TlumWSHTTPAPIRequestEvent OnHTTPRequest;

  // ---- The request-queue host's events (pool workers; startup/shutdown its thread). ----
  virtual void OnHTTPAPIConnectEvent(TlumHTTPServerAPI* Sender, TlumHTTPAPIContext& aContext);
  virtual void OnHTTPAPIDisconnectEvent(TlumHTTPServerAPI* Sender, TlumHTTPAPIContext& aContext);
  virtual void OnHTTPAPIStartupEvent(TlumHTTPServerAPI* Sender);
  virtual void OnHTTPAPIShutdownEvent(TlumHTTPServerAPI* Sender);
  virtual void OnHTTPAPIAsynchronousEvent(TlumHTTPServerAPI* Sender, TlumHTTPAPIContext& aContext,
                                          bool& Handled);

  // ---- Plain HTTP. ----
  // Status 200 with ContentText when ResponseNo is 200, else 404.
  virtual void DoHTTPResponse(TlumWSConnectionServer_HTTPAPI* aConnection,
                              const THttpServerRequest& aRequest, THttpServerResponse& aResponse);
  // OAuth2 and Basic checks, then DoHTTPRequest.
  virtual void DoProcessHTTPRequest(TlumWSConnectionServer_HTTPAPI* aConnection,
                                    THttpServerRequest& aRequest);
  // Appends a prefix unless listed (letter case ignored); returns its new index, or the
  // existing index plus one.
  virtual int AddBinding(const std::string& aPrefix);
  // False answers 401 (the Basic challenge) before returning.
  virtual bool DoBasicAuthentication(TlumWSConnectionServer_HTTPAPI* aConnection,
                                     const THttpServerRequest& aRequest,
                                     THttpServerResponse& aResponse);
  // OnHTTPRequest then DoHTTPResponse; 404 without a handler.
  virtual void DoHTTPRequest(TlumWSConnectionServer_HTTPAPI* aConnection,
                             const THttpServerRequest& aRequest, THttpServerResponse& aResponse);

 protected:
  TList* LockList() override { return FConnections.LockList(); }
  void UnLockList() override { FConnections.UnLockList(); }
  TList* ShareList() override { return FConnections.ShareList(); }
  void UnShareList() override { FConnections.UnShareList(); }
  bool GetActive() override { return FHasServer.load(std::memory_order_acquire); }
  void DoStart() override;
  void DoStop() override;
  // Reads the entity body of the request being dispatched.
  std::string GetRequestBody(TConnection* aConnection) override;
  void FreeConnections() override;
  // For a subclass whose overrides the workers call: ends the timers and the host in the
  // subclass's own destructor, so no worker calls into a part of the object that is gone.
  void StopForDestruction();

  // Fills AuthExists/AuthUsername/AuthPassword when the engine reported Basic credentials.
  void ReadBasicCredentials(TlumWSConnectionServer_HTTPAPI* aConnection, THttpServerRequest& aRequest);

 private:
  void AddAuthenticationPrefixes(const std::string& aPrefix);
  void AddOAuth2Prefixes(const std::string& aPrefix);
  // Configures the request-queue host and registers the prefixes (activation steps).
  void SetUpServer(TlumHTTPServerAPI& aServer);
  // Takes a listed connection off the list and raises its disconnect; whoever removes it
  // owns the creator's reference. Unlisted connections are left alone.
  void ConnectionEnded(TlumWSConnection_HTTPAPI* aConnection);
  // Removes the connection if it is listed; true when this call removed it.
  bool TakeConnection(TConnection* aConnection);
  void ShutDownServer();

  std::atomic<bool> FIsStopping{false};
  std::unique_ptr<TlumHTTPServerAPI> FTCPServer;
  std::atomic<bool> FHasServer{false};
  TlumSRWLockList FConnections;
  // Serialises "is it still listed? then remove it" against FreeConnections, so that the
  // creator's reference is dropped exactly once.
  std::mutex FTakeLock;
  TlumWSTimeouts_HTTPAPI FTimeouts;
  TlumWSBindings_Options_HTTPAPI FBindingOptions;
  std::mutex FBindingsLock;  // guards FBindings
  std::vector<std::string> FBindings;
  TlumWSSSL_Options_HTTPAPI FSSLOptions;
  bool FAsynchronous = false;
  int FMaxConnections = 0;
  int FThreadPoolSize = 32;
  int FMaxBandwidth = 0;
  int FReadBufferSize = 16384;
};

}  // namespace quillon
