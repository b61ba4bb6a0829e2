// Test-only WebSocket echo host on the request-queue host and the HTTP Server API connection,
// for the interoperability tests with real clients. Upgrade requests are echoed (text and
// binary); the text "close:<code>" makes the server close with that code. Any other request
// gets 200 "ok" for "/" and 404 otherwise. Prints "ready <port>" once listening; ends on
// SIGINT/SIGTERM. Not the server component: just enough dispatch to drive a connection.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "connection/lumWebSocket_Classes_HTTPAPI.h"
#include "connection/lumWebSocket_Extensions.h"
#include "connection/lumWebSocket_Extensions_DeflateFrame.h"
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"
#include "connection/lumWebSocket_RequestLines.h"
#include "httpapi/lumWebSocket_HTTPAPI_Server.h"

using namespace quillon;

namespace {

struct TOptions {
  int Port = 0;
  bool PerMessageDeflate = false;
  bool DeflateFrame = false;
  bool Asynchronous = false;
  long long MaxMessageSize = 0;  // 0: the connection's default
  int Threads = 4;
};

class TEchoHost {
 public:
  explicit TEchoHost(const TOptions& aOptions) : FOptions(aOptions) {
    FExtensions.SetMode(appServer);
    FExtensions.PerMessage_Deflate().SetEnabled(aOptions.PerMessageDeflate);
    FExtensions.DeflateFrame().SetEnabled(aOptions.DeflateFrame);
  }

  void Connect(TlumHTTPServerAPI* aServer, TlumHTTPAPIContext& aContext) {
    auto* c = new TlumWSConnectionServer_HTTPAPI();
    c->SetHTTPReqQueue(aContext.reqqueue);
    c->SetHTTPRequest(aContext.request);
    c->SetHTTPRequestId(aContext.request->RequestId);
    c->SetHTTPConnectionId(aContext.request->ConnectionId);
    c->SetHTTPLogData(aServer->LogData());
    c->Setiocompletition(aContext.iocompletition);
    c->SetAsynchronous(FOptions.Asynchronous);
    c->SetReadBufferSize(aServer->ReadBufferSize());
    c->SetValidateUTF8(true);
    if (FOptions.MaxMessageSize > 0) c->SetMaxMessageSize(FOptions.MaxMessageSize);
    c->SetExtensions(FExtensions);
    c->AddRef();  // the context's reference
    aContext.connection = c;
    c->DoReadHeaders();

    bool upgrade = false;
    for (const std::string& line : c->HeadersRequest())
      if (MatchesMask(line, "Upgrade: *websocket")) upgrade = true;
    if (!upgrade) {
      c->SetTransport(trpHTTP);
      if (!c->HeadersRequest().empty() && c->HeadersRequest()[0].rfind("GET / HTTP/", 0) == 0)
        c->SendHTTPContent("ok", "text/plain");
      else
        c->SendHTTPStatus(404, "Not Found");
      c->DisconnectPeer();
      c->SetHTTPRequest(nullptr);
      c->Free();
      return;
    }
    c->OnMessage = [](TlumWSConnection* aConnection, const std::string& aText) {
      if (aText.rfind("close:", 0) == 0) {
        aConnection->Close(std::atoi(aText.c_str() + 6));
        return;
      }
      aConnection->WriteData(aText);
    };
    c->OnBinary = [](TlumWSConnection* aConnection, TBytesView aData) {
      aConnection->WriteData(aData);
    };
    c->OnDisconnect = [this](TlumWSConnection* aConnection, int) {
      Remove(static_cast<TlumWSConnection_HTTPAPI*>(aConnection));
    };
    {
      std::lock_guard hold(FLock);
      FList.push_back(c);
    }
    try {
      c->ReadData(true);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "handshake: %s\n", e.what());
      if (c->ClaimDisconnect()) Remove(c);
    }
    c->SetHTTPRequest(nullptr);
  }

  void Disconnect(TlumHTTPAPIContext& aContext) {
    auto* c = dynamic_cast<TlumWSConnection_HTTPAPI*>(aContext.connection);
    if (c == nullptr) return;
    c->SetDisconnected(true);
    if (c->ClaimDisconnect()) Remove(c);
  }

  // Frees what is still listed (after the server is gone).
  void FreeAll() {
    std::vector<TlumWSConnection_HTTPAPI*> left;
    {
      std::lock_guard hold(FLock);
      left.swap(FList);
    }
    for (auto* c : left) c->Free();
  }

 private:
  // Whoever takes the connection off the list frees it: exactly once.
  void Remove(TlumWSConnection_HTTPAPI* aConnection) {
    bool found = false;
    {
      std::lock_guard hold(FLock);
      for (auto it = FList.begin(); it != FList.end(); ++it) {
        if (*it == aConnection) {
          FList.erase(it);
          found = true;
          break;
        }
      }
    }
    if (found) aConnection->Free();
  }

  TOptions FOptions;
  TlumWSExtensions FExtensions;
  std::mutex FLock;  // guards FList
  std::vector<TlumWSConnection_HTTPAPI*> FList;
};

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--port") options.Port = std::atoi(value().c_str());
    else if (arg == "--permessage-deflate") options.PerMessageDeflate = true;
    else if (arg == "--deflate-frame") options.DeflateFrame = true;
    else if (arg == "--async") options.Asynchronous = true;
    else if (arg == "--max-message-size") options.MaxMessageSize = std::atoll(value().c_str());
    else if (arg == "--threads") options.Threads = std::atoi(value().c_str());
    else {
      std::fprintf(stderr, "unknown option %s\n", arg.c_str());
      return 2;
    }
  }
  if (options.Port <= 0) {
    std::fprintf(stderr, "usage: ws_echo_host --port N [--permessage-deflate] [--deflate-frame] "
                         "[--async] [--max-message-size N] [--threads N]\n");
    return 2;
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // inherited by every thread made below

  TEchoHost host(options);
  {
    TlumHTTPServerAPI server(true, options.Threads);
    server.OnConnect = [&](TlumHTTPServerAPI* s, TlumHTTPAPIContext& c) { host.Connect(s, c); };
    server.OnDisconnect = [&](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) { host.Disconnect(c); };
    try {
      server.AddUrl("http://127.0.0.1:" + std::to_string(options.Port) + "/");
    } catch (const std::exception& e) {
      std::fprintf(stderr, "AddUrl: %s\n", e.what());
      return 1;
    }
    server.Start();
    std::printf("ready %d\n", options.Port);
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
  }
  host.FreeAll();
  return 0;
}
