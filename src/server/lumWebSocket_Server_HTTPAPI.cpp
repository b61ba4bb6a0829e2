// The server component over the HTTP Server API: activation, dispatch, plain HTTP.
#include "server/lumWebSocket_Server_HTTPAPI.h"

#include <algorithm>
#include <cstring>

#include "connection/lumWebSocket_RequestLines.h"
#include "util/lumWebSocket_Exception.h"

namespace quillon {

namespace {

// The connection the dispatch makes. A refused upgrade gets 400 before its HTTP
// connection ends, so that a client never sees an empty reply. An event stream writes its
// own header block as raw bytes; the HTTP Server API takes body bytes only after a
// response, so that first block goes out as the response itself (close-delimited).
class TDispatchConnection final : public TlumWSConnectionServer_HTTPAPI {
 public:
  void WriteBytes(std::string_view aBytes) override {
    if (Transport() == trpSSE && !FStreamOpened.exchange(true)) {
      const std::size_t end = aBytes.find("\r\n\r\n");
      if (aBytes.substr(0, 5) == "HTTP/" && end != std::string_view::npos) {
        std::vector<std::string> headers;
        std::string_view block = aBytes.substr(0, end);
        for (std::size_t at = block.find("\r\n"); at != std::string_view::npos; at = block.find("\r\n")) {
          block.remove_prefix(at + 2);
          headers.emplace_back(block.substr(0, block.find("\r\n")));
        }
        AddSendBytes(static_cast<std::int64_t>(aBytes.size()));
        SendHTTPResponse(&headers, 200, {}, aBytes.substr(end + 4));
        return;
      }
    }
    TlumWSConnectionServer_HTTPAPI::WriteBytes(aBytes);
  }

 protected:
  void DoHandshake() override {
    try {
      TlumWSConnection_HTTPAPI::DoHandshake();
    } catch (const std::exception&) {
      // Once the 101 went out (an error from OnConnect, say) no other status can follow.
      if (!Enabled()) SendHTTPStatus(400, "Bad Request");
      DisconnectPeer();
      throw;
    }
  }

 private:
  std::atomic<bool> FStreamOpened{false};
};

// Clears the request record before the dispatch lets go of the connection: the pool frees
// the record as soon as the dispatch returns.
class TRecordScope {
 public:
  explicit TRecordScope(TlumWSConnection_HTTPAPI* c) : FConnection(c) {}
  ~TRecordScope() { FConnection->SetHTTPRequest(nullptr); }
  TRecordScope(const TRecordScope&) = delete;
  TRecordScope& operator=(const TRecordScope&) = delete;

 private:
  TlumWSConnection_HTTPAPI* FConnection;
};

// "scheme://host:port" of a prefix, without its path; a prefix without a port gets the
// scheme's default.
std::string PrefixBase(const std::string& aPrefix) {
  const std::size_t schemeEnd = aPrefix.find("://");
  if (schemeEnd == std::string::npos) return aPrefix;
  const std::string scheme = aPrefix.substr(0, schemeEnd);
  std::string authority = aPrefix.substr(schemeEnd + 3);
  authority = authority.substr(0, authority.find('/'));
  const std::size_t bracket = authority.rfind(']');
  const std::size_t colon = authority.rfind(':');
  const bool hasPort = colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
  if (!hasPort) authority += SameText(scheme, "https") ? ":443" : ":80";
  return scheme + "://" + authority;
}

std::string FolderOf(const std::string& aFileName) {
  const std::size_t slash = aFileName.find_last_of('/');
  return slash == std::string::npos ? std::string() : aFileName.substr(0, slash + 1);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Construction

TlumWSServer_HTTPAPI::TlumWSServer_HTTPAPI() {
  SetHost("127.0.0.1");
  SetPort(80);
  SetNotifyEvents(neNoSync);
  FExtensions.SetMode(appServer);
}

TlumWSServer_HTTPAPI::~TlumWSServer_HTTPAPI() {
  // Timers and start/stop threads first, so that nothing reaches the host while it goes.
  DestroyComponent();
  FIsStopping.store(true);
  ShutDownServer();
  FreeConnections();
}

bool TlumWSServer_HTTPAPI::IsStopping() {
  return IsDestroying() || FIsStopping.load(std::memory_order_acquire);
}

TlumWSLogFile_Options& TlumWSServer_HTTPAPI::LogFile() {
  FLogFile.FileName = FolderOf(FLogFile.FileName);
  return FLogFile;
}

std::vector<std::string> TlumWSServer_HTTPAPI::RegisteredBindings() {
  std::lock_guard lock(FBindingsLock);
  return FBindings;
}

// ---------------------------------------------------------------------------------------
// Activation

int TlumWSServer_HTTPAPI::AddBinding(const std::string& aPrefix) {
  std::lock_guard lock(FBindingsLock);
  for (std::size_t i = 0; i < FBindings.size(); ++i) {
    if (SameText(FBindings[i], aPrefix)) return static_cast<int>(i) + 1;
  }
  FBindings.push_back(aPrefix);
  return static_cast<int>(FBindings.size()) - 1;
}

void TlumWSServer_HTTPAPI::AddAuthenticationPrefixes(const std::string& aPrefix) {
  const std::string base = PrefixBase(aPrefix);
  if (Authentication().Session.Enabled) {
    AddBinding(base + "/lum/req/auth/session/");
    AddBinding(base + "/lum/auth/session/");
  }
  if (Authentication().URL.Enabled) AddBinding(base + "/lum/auth/url/");
}

void TlumWSServer_HTTPAPI::AddOAuth2Prefixes(const std::string& aPrefix) {
  IlumOAuth2Server* oauth = Authentication().OAuth.OAuth2;
  if (oauth == nullptr) return;
  const std::string base = PrefixBase(aPrefix);
  const std::string auth = oauth->AuthorizationPath();
  const std::string token = oauth->TokenPath();
  // A URL prefix ends with "/"; the endpoint paths do not.
  auto withSlash = [](std::string aPath) {
    if (aPath.back() != '/') aPath += '/';
    return aPath;
  };
  if (!auth.empty()) AddBinding(base + withSlash(auth));
  if (!token.empty()) AddBinding(base + withSlash(token));
}

void TlumWSServer_HTTPAPI::DoStart() {
  TlumWSServer_Base::DoStart();
  FIsStopping.store(false, std::memory_order_release);
  {
    std::lock_guard lock(FBindingsLock);
    FBindings.clear();
  }
  // Created suspended: events and settings are in place before the first request.
  FTCPServer = std::make_unique<TlumHTTPServerAPI>(true, FThreadPoolSize);
  FHasServer.store(true, std::memory_order_release);
  TlumHTTPServerAPI& server = *FTCPServer;
  server.OnConnect = [this](TlumHTTPServerAPI* s, TlumHTTPAPIContext& c) { OnHTTPAPIConnectEvent(s, c); };
  server.OnDisconnect = [this](TlumHTTPServerAPI* s, TlumHTTPAPIContext& c) {
    OnHTTPAPIDisconnectEvent(s, c);
  };
  server.OnStartup = [this](TlumHTTPServerAPI* s) { OnHTTPAPIStartupEvent(s); };
  server.OnShutdown = [this](TlumHTTPServerAPI* s) { OnHTTPAPIShutdownEvent(s); };
  server.OnAsynchronous = [this](TlumHTTPServerAPI* s, TlumHTTPAPIContext& c, bool& h) {
    OnHTTPAPIAsynchronousEvent(s, c, h);
  };
  SetUpServer(server);
  server.Start();
}

void TlumWSServer_HTTPAPI::SetUpServer(TlumHTTPServerAPI& aServer) {
  if (FLogFile.Enabled) {
    aServer.LogStart(FolderOf(FLogFile.FileName), hltW3C, lumServerName, hlrDaily, 0,
                     kAllHttpApiLogFields, HttpApiSetOf(hlfUseUTF8Conversion));
  }
  if (FTimeouts.Enabled) {
    auto secs = [](int v) { return static_cast<USHORT>(std::clamp(v, 0, 0xFFFF)); };
    aServer.SetTimeouts(secs(FTimeouts.EntityBody), secs(FTimeouts.DrainEntityBody),
                        secs(FTimeouts.RequestQueue), secs(FTimeouts.IdleConnection),
                        secs(FTimeouts.HeaderWait),
                        static_cast<ULONG>(std::max(FTimeouts.MinSendRate, 0)));
  }
  if (FMaxConnections > 0) aServer.SetMaxConnections(FMaxConnections);
  if (FMaxBandwidth > 0) aServer.SetMaxBandwidth(FMaxBandwidth);
  aServer.SetReadBufferSize(FReadBufferSize);

  const bool authEnabled = Authentication().Enabled;
  const bool oauth = Authentication().OAuth.OAuth2 != nullptr;
  const std::string host = Host();
  const int port = Port();
  if (!host.empty() && port > 0) {
    const std::string prefix =
        std::string(SSL() ? "https" : "http") + "://" + host + ":" + std::to_string(port) + "/";
    AddBinding(prefix);
    if (authEnabled) AddAuthenticationPrefixes(prefix);
    if (oauth) AddOAuth2Prefixes(prefix);
    if (SSL() && FBindingOptions.ConfigureSSLCertificate) {
      aServer.ConfigureSSLCert("0.0.0.0", port, FSSLOptions.Hash, FSSLOptions.CertStoreName);
    }
  }
  for (int i = 0; i < Bindings().Count(); ++i) {
    const TlumWSBinding& binding = Bindings().Items(i);
    const std::string prefix = Bindings().GetURL(i);
    AddBinding(prefix);
    if (authEnabled) AddAuthenticationPrefixes(prefix);
    if (oauth) AddOAuth2Prefixes(prefix);
    if (binding.SSL && FBindingOptions.ConfigureSSLCertificate) {
      aServer.ConfigureSSLCert("0.0.0.0", binding.Port, binding.SSLHash, binding.SSLCertStoreName);
    }
  }

  std::vector<std::string> prefixes;
  {
    std::lock_guard lock(FBindingsLock);
    if (OnBeforeBinding) OnBeforeBinding(this, FBindings);
    prefixes = FBindings;
  }
  for (const std::string& prefix : prefixes) aServer.AddUrl(prefix);
  aServer.SetBasicAuthentication(authEnabled && Authentication().Basic.Enabled);
}

void TlumWSServer_HTTPAPI::StopForDestruction() {
  DestroyComponent();
  std::lock_guard hold(FCS);
  if (FTCPServer) DoStop();
}

void TlumWSServer_HTTPAPI::DoStop() {
  FIsStopping.store(true, std::memory_order_release);
  {
    std::lock_guard lock(FBindingsLock);
    FBindings.clear();
  }
  if (FLogFile.Enabled && FTCPServer) FTCPServer->LogStop();
  DisconnectAll();
  FreeConnections();
  ShutDownServer();
  // A dispatch that was past its stopping check when the list was freed may have listed
  // one more; the workers are gone now.
  FreeConnections();
  // The base forgets the watchdog secret only now: dispatches in flight compare every
  // upgrade against it until the workers are joined.
  TlumWSServer_Base::DoStop();
}

void TlumWSServer_HTTPAPI::ShutDownServer() {
  std::unique_ptr<TlumHTTPServerAPI> server = std::move(FTCPServer);
  if (!server) return;
  server->Terminate();
  // Joins the receive thread and the workers and frees the contexts still outstanding; the
  // connections they held are released with them.
  server.reset();
  FHasServer.store(false, std::memory_order_release);
  SetFActive(false);
}

// ---------------------------------------------------------------------------------------
// The connection list

bool TlumWSServer_HTTPAPI::TakeConnection(TConnection* aConnection) {
  std::lock_guard take(FTakeLock);
  if (ConnectionsByGUID(aConnection->Guid()) != aConnection) return false;
  RemoveConnection(aConnection);
  return true;
}

void TlumWSServer_HTTPAPI::FreeConnections() {
  std::lock_guard take(FTakeLock);
  // Marked disconnected first: a read still in flight then leaves the connection alone
  // instead of running the frame reader on an object that is already let go.
  TList* list = ShareList();
  for (void* p : *list) static_cast<TConnection*>(p)->SetDisconnected(true);
  UnShareList();
  TlumWSServer_Base::FreeConnections();
}

void TlumWSServer_HTTPAPI::ConnectionEnded(TlumWSConnection_HTTPAPI* aConnection) {
  if (!TakeConnection(aConnection)) return;
  // Also while stopping: the connection is off the list, so its reference is ours to hand on.
  const std::string& guid = aConnection->Guid();
  if (FOptimizations.Channels.Enabled) FChannels.DeleteItem(guid);
  if (FOptimizations.Connections.Enabled) ConnectionCache().DeleteItem(guid);
  NotifyDisconnect(aConnection);
}

// ---------------------------------------------------------------------------------------
// Dispatch

void TlumWSServer_HTTPAPI::OnHTTPAPIConnectEvent(TlumHTTPServerAPI* Sender,
                                                 TlumHTTPAPIContext& aContext) {
  if (IsStopping() || aContext.request == nullptr) return;
  auto* c = new TDispatchConnection();
  // The dispatch holds the connection's serial queue while it sets the connection up: a
  // read or disconnect that completes meanwhile runs after it, on this thread.
  c->EnterSerial();
  c->SetHTTPReqQueue(aContext.reqqueue);
  c->SetHTTPRequest(aContext.request);
  c->SetHTTPRequestId(aContext.request->RequestId);
  c->SetHTTPConnectionId(aContext.request->ConnectionId);
  c->SetHTTPLogData(Sender != nullptr ? Sender->LogData() : nullptr);
  c->Setiocompletition(aContext.iocompletition);
  c->SetAsynchronous(FAsynchronous);
  c->SetReadBufferSize(FReadBufferSize);
  c->SetServerOriginsAllowed(SecurityOptions().OriginsAllowed);
  c->SetValidateUTF8(Options().ValidateUTF8);
  c->SetCleanDisconnect(Options().CleanDisconnect);
  c->SetRaiseDisconnectExceptions(Options().RaiseDisconnectExceptions);
  c->SetFragmentedMessages(Options().FragmentedMessages);
  c->SetQueueOptions(QueueOptions());
  c->SetExtensions(FExtensions);
  c->SetMasked(false);
  c->SetProtocol(GetProtocols());
  c->OnHandshake = OnHandshake;
  c->OnUpdate = [this](TlumWSConnection* x, int t) { OnConnectionUpdate(x, t); };
  c->OnMessage = [this](TlumWSConnection* x, const std::string& s) { OnConnectionMessage(x, s); };
  c->OnBinary = [this](TlumWSConnection* x, TBytesView d) { OnConnectionBinary(x, d); };
  c->OnFragmented = [this](TlumWSConnection* x, TBytesView d, TOpcode o, bool k) {
    OnConnectionFragmented(x, d, o, k);
  };
  // The connection has claimed its end before it raises this.
  c->OnDisconnect = [this](TlumWSConnection* x, int) {
    if (!IsStopping()) ConnectionEnded(static_cast<TlumWSConnection_HTTPAPI*>(x));
  };
  if (Authentication().Enabled) {
    c->OnAuthentication = [this](TlumWSConnection* x, const std::string& u, const std::string& p,
                                 bool& a) { OnServerAuthenticationEvent(x, u, p, a); };
  }
  c->AddRef();  // the context's reference
  aContext.connection = c;
  TRecordScope record(c);

  c->DoReadHeaders();
  int code = 404;
  try {
    code = DoProcessRequest(c);
  } catch (const std::exception&) {
    // A request the classifier choked on (an XHR body too large, a failing handler).
    c->SendHTTPStatus(400, "Bad Request");
    c->DisconnectPeer();
    c->Free();
    return;
  }

  if (code == 101) {
    AddConnection(c);
    try {
      c->ReadData(true);
    } catch (const std::exception&) {
      // Already answered and disconnected by the connection.
      if (c->ClaimDisconnect() && TakeConnection(c)) {
        if (c->Enabled()) {
          const std::string& guid = c->Guid();
          if (FOptimizations.Channels.Enabled) FChannels.DeleteItem(guid);
          if (FOptimizations.Connections.Enabled) ConnectionCache().DeleteItem(guid);
          NotifyDisconnect(c);
        } else {
          c->Free();
        }
      }
    }
    return;
  }

  const TwsTransport transport = c->Transport();
  if (code == 200) {
    if (transport == trpFlash || transport == trpSSE) {
      AddConnection(c);
      // The stream's end comes back as a completed wait.
      c->WaitForDisconnect();
      return;
    }
  } else if (transport == trpHTTP) {
    try {
      THttpServerRequest request = c->GetHttpServerRequest();
      DoProcessHTTPRequest(c, request);
    } catch (const TlumWSRequestTooLarge&) {
      // Answered 413 and closed by the engine.
    } catch (const std::exception&) {
      NotifyException(c, std::current_exception());
    }
  } else {
    // A refused upgrade or a request nothing serves: say so before closing.
    c->SendHTTPStatus(404, "Not Found");
  }
  c->DisconnectPeer();
  c->Free();
}

void TlumWSServer_HTTPAPI::OnHTTPAPIDisconnectEvent(TlumHTTPServerAPI* /*Sender*/,
                                                    TlumHTTPAPIContext& aContext) {
  if (IsStopping()) return;
  auto* c = dynamic_cast<TlumWSConnection_HTTPAPI*>(aContext.connection);
  if (c == nullptr) return;
  try {
    // A plain request's own disconnecting send also comes here: it was never listed.
    if (ConnectionsByGUID(c->Guid()) != c) return;
    if (c->Enabled()) c->SetDisconnected(true);
    // This runs in the connection's serial queue after its last receive: nothing reads any
    // more, so what the reader holds (a half-assembled message may be large) goes now rather
    // than when the freeing timer gets to the connection.
    if (c->ReceivesOutstanding() == 0) c->ReleaseReadBuffers();
    if (!c->ClaimDisconnect()) return;
    try {
      ConnectionEnded(c);
    } catch (const std::exception&) {
      c->DisconnectPeer();
      throw;
    }
  } catch (const std::exception& e) {
    NotifyError(c, e.what());
  }
}

void TlumWSServer_HTTPAPI::OnHTTPAPIStartupEvent(TlumHTTPServerAPI* /*Sender*/) {
  if (IsStopping()) return;
  SetFActive(true);
  if (OnStartup) OnStartup(this);
}

void TlumWSServer_HTTPAPI::OnHTTPAPIShutdownEvent(TlumHTTPServerAPI* /*Sender*/) {
  if (IsStopping()) return;
  SetFActive(false);
  if (OnShutdown) OnShutdown(this);
}

void TlumWSServer_HTTPAPI::OnHTTPAPIAsynchronousEvent(TlumHTTPServerAPI* /*Sender*/,
                                                      TlumHTTPAPIContext& aContext, bool& Handled) {
  if (IsStopping()) return;
  if (OnAsynchronous) OnAsynchronous(this, aContext, Handled);
}

std::string TlumWSServer_HTTPAPI::GetRequestBody(TConnection* aConnection) {
  auto* c = dynamic_cast<TlumWSConnection_HTTPAPI*>(aConnection);
  if (c == nullptr || c->HTTPRequest() == nullptr) return TlumWSServer_Base::GetRequestBody(aConnection);
  return c->GetHttpServerRequest().Content;
}

// ---------------------------------------------------------------------------------------
// Plain HTTP

void TlumWSServer_HTTPAPI::ReadBasicCredentials(TlumWSConnectionServer_HTTPAPI* aConnection,
                                                THttpServerRequest& aRequest) {
  const HTTP_REQUEST_V2* r = aConnection->HTTPRequest();
  if (r == nullptr) return;
  bool basic = false;
  for (USHORT i = 0; i < r->RequestInfoCount && r->pRequestInfo != nullptr; ++i) {
    const HTTP_REQUEST_INFO& info = r->pRequestInfo[i];
    if (info.InfoType != HttpRequestInfoTypeAuth || info.pInfo == nullptr) continue;
    if (static_cast<const HTTP_REQUEST_AUTH_INFO*>(info.pInfo)->AuthType == HttpRequestAuthTypeBasic) {
      basic = true;
    }
  }
  if (!basic) return;
  const std::string decoded = GetBasicAuthorization(aConnection->HeadersRequest());
  const std::size_t colon = decoded.find(':');
  // Exactly two parts: one colon.
  if (colon == std::string::npos || decoded.find(':', colon + 1) != std::string::npos) return;
  aRequest.AuthExists = true;
  aRequest.AuthUsername = decoded.substr(0, colon);
  aRequest.AuthPassword = decoded.substr(colon + 1);
}

bool TlumWSServer_HTTPAPI::DoBasicAuthentication(TlumWSConnectionServer_HTTPAPI* aConnection,
                                                 const THttpServerRequest& aRequest,
                                                 THttpServerResponse& /*aResponse*/) {
  bool authenticated = false;
  if (aRequest.AuthExists) {
    std::string stored;
    if (!Authentication().AuthUsers.empty() && Authentication().FindUser(aRequest.AuthUsername, stored)) {
      authenticated = stored == aRequest.AuthPassword;
    }
    if (!authenticated && OnAuthentication) {
      OnAuthentication(aConnection, aRequest.AuthUsername, aRequest.AuthPassword, authenticated);
    }
  }
  if (!authenticated) aConnection->SendHTTPUnauthorized();
  return authenticated;
}

void TlumWSServer_HTTPAPI::DoProcessHTTPRequest(TlumWSConnectionServer_HTTPAPI* aConnection,
                                                THttpServerRequest& aRequest) {
  if (Authentication().Enabled) {
    if (IlumOAuth2Server* oauth = Authentication().OAuth.OAuth2) {
      std::vector<std::string> lines = aConnection->HeadersRequest();
      if (!aRequest.Content.empty()) {
        lines.emplace_back();
        lines.push_back(aRequest.Content);
      }
      if (SSL() && oauth->DoProcessHTTP(aConnection, lines)) return;
      if (!oauth->IsOAuth2TokenValid(aConnection, lines)) {
        aConnection->SendHTTPStatus(401, "Unauthorized");
        return;
      }
    }
    if (Authentication().Basic.Enabled) {
      ReadBasicCredentials(aConnection, aRequest);
      THttpServerResponse ignored;
      if (!DoBasicAuthentication(aConnection, aRequest, ignored)) return;
    }
  }
  THttpServerResponse response;
  DoHTTPRequest(aConnection, aRequest, response);
}

void TlumWSServer_HTTPAPI::DoHTTPRequest(TlumWSConnectionServer_HTTPAPI* aConnection,
                                         const THttpServerRequest& aRequest,
                                         THttpServerResponse& aResponse) {
  if (!OnHTTPRequest) {
    aConnection->SendHTTPStatus(404, "Not Found");
    return;
  }
  try {
    OnHTTPRequest(aConnection, aRequest, aResponse);
  } catch (const std::exception&) {
    // The handler failed before anything was sent: the client still gets an answer.
    aConnection->SendHTTPStatus(500, "Internal Server Error");
    throw;
  }
  DoHTTPResponse(aConnection, aRequest, aResponse);
}

void TlumWSServer_HTTPAPI::DoHTTPResponse(TlumWSConnectionServer_HTTPAPI* aConnection,
                                          const THttpServerRequest& /*aRequest*/,
                                          THttpServerResponse& aResponse) {
  if (aResponse.ResponseNo == 200) {
    SendHTTPText(*aConnection, aResponse.ContentText, aResponse.ContentType);
  } else {
    aConnection->SendHTTPStatus(404, "Not Found");
  }
}

}  // namespace quillon
