// The HTTP Server API connection over loopback: a small dispatch on the request-queue host
// creates one connection per request, as the server does; raw socket clients look at the
// bytes on the wire. Every test runs with synchronous and with asynchronous sends, and checks
// that every connection and context is freed exactly once.
#include "connection/lumWebSocket_Classes_HTTPAPI.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "connection/MemoryConnection.h"
#include "connection/lumWebSocket_Handshake.h"
#include "connection/lumWebSocket_RequestLines.h"
#include "httpapi/lumWebSocket_HTTPAPI_Server.h"
#include "platform/httpapi/Engine.h"
#include "support/LoopbackClient.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace quillon {
namespace {

using test::ClientFrame;

using testwait::WaitUntil;

using loopback::FreePort;

class Client : public loopback::Client {
 public:
  using loopback::Client::Client;
  bool Upgrade(int aPort) {
    Send("GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(aPort) +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    return ReadHead().rfind("HTTP/1.1 101 ", 0) == 0;
  }
};

std::string WithoutDate(std::string aText) {
  const std::size_t at = aText.find("\r\nDate: ");
  if (at != std::string::npos) aText.erase(at, aText.find("\r\n", at + 2) - at);
  return aText;
}

std::atomic<int> gLive{0};

class TTestConnection : public TlumWSConnectionServer_HTTPAPI {
 public:
  TTestConnection() { ++gLive; }

 protected:
  ~TTestConnection() override { --gLive; }
};

// What the dispatch saw of one plain request.
struct TSeen {
  std::vector<std::string> Headers;
  std::string IP, LocalIP, URL;
  int Port = 0, LocalPort = 0;
  THttpServerRequest Request;
};

class Transport : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    FBaseContexts = LiveHTTPAPIContexts();
    FPort = FreePort();
    FServer = std::make_unique<TlumHTTPServerAPI>(true, 4);
    FServer->OnConnect = [this](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) { Dispatch(c); };
    FServer->OnDisconnect = [this](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) {
      auto* conn = dynamic_cast<TlumWSConnection_HTTPAPI*>(c.connection);
      ++FWaitCompletions;
      if (conn != nullptr && conn->ClaimDisconnect()) Remove(conn);
    };
    FServer->AddUrl("http://127.0.0.1:" + std::to_string(FPort) + "/");
    FServer->Start();
  }
  void TearDown() override {
    FServer.reset();
    std::vector<TlumWSConnection_HTTPAPI*> left;
    {
      std::lock_guard hold(FLock);
      left.swap(FList);
    }
    for (auto* c : left) c->Free();
    EXPECT_EQ(gLive.load(), 0) << "connections not freed";
    EXPECT_EQ(LiveHTTPAPIContexts(), FBaseContexts) << "contexts not freed";
  }

  void Dispatch(TlumHTTPAPIContext& aContext) {
    auto* c = new TTestConnection();
    c->SetHTTPReqQueue(aContext.reqqueue);
    c->SetHTTPRequest(aContext.request);
    c->SetHTTPRequestId(aContext.request->RequestId);
    c->SetHTTPConnectionId(aContext.request->ConnectionId);
    c->Setiocompletition(aContext.iocompletition);
    c->SetAsynchronous(GetParam());
    c->SetReadBufferSize(FReadBufferSize);
    c->SetValidateUTF8(true);
    c->AddRef();
    aContext.connection = c;
    c->DoReadHeaders();
    const std::string& line = c->HeadersRequest()[0];
    const std::string path = line.substr(line.find(' ') + 1, line.rfind(" HTTP/1.1") - line.find(' ') - 1);
    bool upgrade = false;
    for (const std::string& h : c->HeadersRequest())
      if (MatchesMask(h, "Upgrade: *websocket")) upgrade = true;
    if (upgrade) {
      Upgrade(c);
    } else {
      c->SetTransport(trpHTTP);
      Answer(*c, path);
      c->DisconnectPeer();
      c->SetHTTPRequest(nullptr);
      c->Free();
      return;
    }
    c->SetHTTPRequest(nullptr);
  }

  void Answer(TTestConnection& c, const std::string& aPath) {
    if (aPath == "/status404") return c.SendHTTPStatus(404, "ignored");
    if (aPath == "/status418") return c.SendHTTPStatus(418, "ignored");
    if (aPath == "/redirect") return c.SendHTTPRedirect("/there");
    if (aPath == "/content") return c.SendHTTPContent("hello", "text/plain");
    if (aPath == "/unauthorized") return c.SendHTTPUnauthorized();
    if (aPath == "/text" || aPath == "/stream") {
      THttpServerResponse r;
      r.CacheControl = "max-age=60";
      r.ContentType = "text/css";
      r.LastModified = std::chrono::system_clock::from_time_t(784111777);
      r.ResponseNo = 404;  // not read
      r.CustomHeader = "X-Not: sent";
      if (aPath == "/text") return c.SendResponseText("body{}", r);
      std::istringstream s("body{}");
      return c.SendResponseStream(s, r);
    }
    if (aPath == "/plain-text") return SendHTTPText(c, "plain", "text/plain");
    if (aPath == "/never-set") {
      THttpServerResponse r;
      r.LastModified = std::chrono::system_clock::from_time_t(-2208988800);  // 1900-01-01
      return c.SendResponseText("x", r);
    }
    // Anything else: record what the connection knows.
    std::lock_guard hold(FLock);
    FSeen.Headers = c.HeadersRequest();
    FSeen.IP = c.IP();
    FSeen.Port = c.Port();
    FSeen.LocalIP = c.LocalIP();
    FSeen.LocalPort = c.LocalPort();
    FSeen.URL = c.URL();
    FSeen.Request = c.GetHttpServerRequest();
  }

  void Upgrade(TTestConnection* c) {
    c->OnUpdate = [this](TlumWSConnection* aConnection, int) {
      if (FWelcome) aConnection->WriteData("welcome");
    };
    c->OnMessage = [](TlumWSConnection* aConnection, const std::string& aText) {
      if (aText.rfind("close:", 0) == 0) {
        aConnection->Close(std::stoi(aText.substr(6)));
        return;
      }
      if (aText == "throw") throw std::runtime_error("handler failed");
      aConnection->WriteData(aText);
    };
    c->OnBinary = [](TlumWSConnection* aConnection, TBytesView aData) { aConnection->WriteData(aData); };
    c->OnDisconnect = [this](TlumWSConnection* aConnection, int) {
      Remove(static_cast<TlumWSConnection_HTTPAPI*>(aConnection));
    };
    {
      std::lock_guard hold(FLock);
      FList.push_back(c);
      ++FUpgrades;
    }
    try {
      c->ReadData(true);
    } catch (const std::exception&) {
      ++FHandshakeErrors;
      if (c->ClaimDisconnect()) Remove(c);
    }
  }

  // Whoever takes a connection off the list frees it.
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
    if (found) {
      ++FRemoved;
      aConnection->Free();
    }
  }

  std::size_t Listed() {
    std::lock_guard hold(FLock);
    return FList.size();
  }

  TlumWSConnection_HTTPAPI* FirstListed() {
    std::lock_guard hold(FLock);
    return FList.front();
  }

  // Writes to every listed connection while holding the list, as a broadcast does.
  void Broadcast(std::string_view aText) {
    std::lock_guard hold(FLock);
    for (auto* c : FList) c->WriteData(aText);
  }

  std::string Get(const std::string& aRequest) {
    Client client(FPort);
    EXPECT_TRUE(client.Connected());
    client.Send(aRequest);
    return client.ReadAll();
  }

  long FBaseContexts = 0;
  int FPort = 0;
  int FReadBufferSize = 16384;
  bool FWelcome = false;
  std::unique_ptr<TlumHTTPServerAPI> FServer;
  std::mutex FLock;  // guards FList and FSeen
  std::vector<TlumWSConnection_HTTPAPI*> FList;
  TSeen FSeen;
  std::atomic<int> FUpgrades{0}, FRemoved{0}, FHandshakeErrors{0}, FWaitCompletions{0};
};

INSTANTIATE_TEST_SUITE_P(Modes, Transport, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Asynchronous" : "Synchronous"; });

TEST_P(Transport, CannedResponsesOnTheWire) {
  struct Case {
    const char* Path;
    std::string Expected;
  };
  const Case cases[] = {
      {"/status404", "HTTP/1.1 404 Not Found\r\nServer: Quillon 4.4.6\r\nConnection: close\r\n\r\n"},
      {"/status418", "HTTP/1.1 418 Client Error\r\nServer: Quillon 4.4.6\r\nConnection: close\r\n\r\n"},
      {"/redirect",
       "HTTP/1.1 302 Moved Temporarily\r\nLocation: /there\r\nServer: Quillon 4.4.6\r\nConnection: close\r\n\r\n"},
      {"/content",
       "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: text/plain\r\n"
       "Server: Quillon 4.4.6\r\nConnection: close\r\n\r\nhello"},
      {"/plain-text",
       "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: text/plain\r\n"
       "Server: Quillon 4.4.6\r\nConnection: close\r\n\r\nplain"},
      // The header line wins over the content type given with the body.
      {"/unauthorized",
       "HTTP/1.1 401 Unauthorized\r\nCache-Control: no-cache\r\n"
       "Content-Type: text/html; charset=utf-8\r\nServer: Quillon 4.4.6\r\n"
       "WWW-Authenticate: Basic realm=\"Quillon 4.4.6\"\r\nConnection: close\r\n\r\n"
       "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>"},
      {"/text",
       "HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\nContent-Type: text/css\r\n"
       "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\nServer: Quillon 4.4.6\r\n"
       "Connection: close\r\n\r\nbody{}"},
      {"/stream",
       "HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\nContent-Type: text/css\r\n"
       "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\nServer: Quillon 4.4.6\r\n"
       "Connection: close\r\n\r\nbody{}"},
      {"/never-set", "HTTP/1.1 200 OK\r\nServer: Quillon 4.4.6\r\nConnection: close\r\n\r\nx"},
  };
  for (const Case& c : cases) {
    const std::string wire = Get(std::string("GET ") + c.Path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(wire.find("\r\nDate: "), std::string::npos) << c.Path;
    EXPECT_EQ(WithoutDate(wire), c.Expected) << c.Path;
  }
}

TEST_P(Transport, HeaderListRecordAndAddressesAreKeptPastTheDispatch) {
  Client client(FPort);
  ASSERT_TRUE(client.Connected());
  client.Send("PROPFIND /a%20b?x=1 HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: t\r\n"
              "X-Custom: v\r\nContent-Length: 5\r\n\r\nabcde");
  client.ReadAll();
  std::lock_guard hold(FLock);
  const std::vector<std::string> expected{" /a%20b?x=1 HTTP/1.1", "Content-Length: 5",
                                          "Host: 127.0.0.1", "User-Agent: t", "X-Custom: v"};
  EXPECT_EQ(FSeen.Headers, expected);
  EXPECT_EQ(FSeen.Request.Method, "PROPFIND");
  EXPECT_EQ(FSeen.Request.Content, "abcde");
  EXPECT_EQ(FSeen.IP, "127.0.0.1");
  EXPECT_EQ(FSeen.Port, client.LocalPort());
  EXPECT_EQ(FSeen.LocalIP, "127.0.0.1");
  EXPECT_EQ(FSeen.LocalPort, FPort);
  EXPECT_EQ(FSeen.URL, "http://127.0.0.1:" + std::to_string(FPort) + "/a b?x=1");
}

TEST_P(Transport, UpgradeThenEchoMaskedUnmaskedAndSplitFrames) {
  FWelcome = true;
  Client client(FPort);
  ASSERT_TRUE(client.Connected());
  client.Send("GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  const std::string head = WithoutDate(client.ReadHead());
  EXPECT_EQ(head,
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nServer: Quillon 4.4.6\r\n"
            "Connection: Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
  // The connect event wrote before any client frame was read.
  test::TFrame f = client.ReadFrame();
  EXPECT_EQ(f.FirstByte, 0x81);
  EXPECT_EQ(f.Payload, "welcome");

  client.Send(ClientFrame(0x81, "masked"));
  f = client.ReadFrame();
  EXPECT_EQ(f.Payload, "masked");
  client.Send(ClientFrame(0x82, std::string("\x00\x01unmasked", 10), false));
  f = client.ReadFrame();
  EXPECT_EQ(f.FirstByte, 0x82);
  EXPECT_EQ(f.Payload, std::string("\x00\x01unmasked", 10));

  // One byte per send: the reader resumes across receives.
  const std::string big(70000, 'q');
  const std::string frame = ClientFrame(0x81, "split") + ClientFrame(0x81, big);
  for (std::size_t i = 0; i < 40; ++i) {
    client.Send(frame.substr(i, 1));
    std::this_thread::sleep_for(1ms);
  }
  client.Send(frame.substr(40));
  EXPECT_EQ(client.ReadFrame().Payload, "split");
  EXPECT_EQ(client.ReadFrame().Payload, big);

  // Ping is answered; a client close gets a close and the end of the connection.
  client.Send(ClientFrame(0x89, "p"));
  f = client.ReadFrame();
  EXPECT_EQ(f.FirstByte, 0x8A);
  EXPECT_EQ(f.Payload, "p");
  client.Send(ClientFrame(0x88, "\x03\xe8"));
  f = client.ReadFrame();
  EXPECT_EQ(f.FirstByte, 0x88);
  EXPECT_EQ(client.ReadFrame().FirstByte, 0xFF);  // then the TCP connection ends
  EXPECT_TRUE(WaitUntil([&] { return FRemoved.load() == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return gLive.load() == 0; }));
}

TEST_P(Transport, SmallReadBufferStillDeliversWholeMessages) {
  FReadBufferSize = 7;
  Client client(FPort);
  ASSERT_TRUE(client.Upgrade(FPort));
  const std::string text(5000, 'z');
  client.Send(ClientFrame(0x81, text));
  EXPECT_EQ(client.ReadFrame().Payload, text);
}

// Reads of a few bytes at a time take a message from what the engine holds over; once every
// byte is taken, neither side keeps input room for the waiting connection.
TEST_P(Transport, AWaitingConnectionHoldsNoInputRoom) {
  FReadBufferSize = 7;
  Client client(FPort);
  ASSERT_TRUE(client.Upgrade(FPort));
  ASSERT_TRUE(WaitUntil([&] { return FUpgrades.load() == 1; }));
  TlumWSConnection_HTTPAPI* connection = FirstListed();
  const std::string first(3000, 'a'), second(20, 'b');
  client.Send(ClientFrame(0x81, first) + ClientFrame(0x82, second));
  EXPECT_EQ(client.ReadFrame().Payload, first);
  EXPECT_EQ(client.ReadFrame().Payload, second);
  auto engine = platform::detail::Connections().Find(connection->HTTPConnectionId());
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(WaitUntil([&] { return engine->InputCapacity() == 0; }));
  client.Send(ClientFrame(0x81, "again"));
  EXPECT_EQ(client.ReadFrame().Payload, "again");
}

// Backpressure is visible: an echo the client does not read stays counted on its connection
// until the client takes it.
TEST_P(Transport, BufferedAmountCountsWhatTheClientHasNotTaken) {
  Client client(FPort);
  ASSERT_TRUE(client.Upgrade(FPort));
  ASSERT_TRUE(WaitUntil([&] { return FUpgrades.load() == 1; }));
  TlumWSConnection_HTTPAPI* connection = FirstListed();
  EXPECT_EQ(connection->BufferedAmount(), 0u);
  EXPECT_FALSE(connection->AboveHighWater());
  const std::string text(12u << 20, 'b');  // more than the kernel holds for an unread socket
  client.Send(ClientFrame(0x81, text));
  EXPECT_TRUE(WaitUntil([&] { return connection->AboveHighWater(); }));
  EXPECT_GT(connection->BufferedAmount(), connection->SendHighWater());
  EXPECT_EQ(client.ReadFrame().Payload.size(), text.size());
  EXPECT_TRUE(WaitUntil([&] { return connection->BufferedAmount() == 0; }));
}

TEST_P(Transport, ServerCloseEndsTheTcpConnectionAfterTheCloseFrame) {
  Client client(FPort);
  ASSERT_TRUE(client.Upgrade(FPort));
  const auto started = std::chrono::steady_clock::now();
  client.Send(ClientFrame(0x81, "close:4001"));
  const test::TFrame f = client.ReadFrame();
  EXPECT_EQ(f.FirstByte, 0x88);
  EXPECT_EQ(f.Payload, "\x0f\xa1");
  // No reply is needed for the server to end it.
  EXPECT_EQ(client.ReadFrame().FirstByte, 0xFF);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_TRUE(WaitUntil([&] { return FRemoved.load() == 1 && gLive.load() == 0; }));
}

TEST_P(Transport, ProtocolErrorsCloseWithTheirCodes) {
  struct Case {
    std::string Frame;
    std::string Code;
  };
  const Case cases[] = {
      {ClientFrame(0x81, "h\xc3\x28"), "\x03\xef"},  // 1007
      {ClientFrame(0x83, "x"), "\x03\xea"},          // 1002: reserved opcode
  };
  for (const Case& c : cases) {
    Client client(FPort);
    ASSERT_TRUE(client.Upgrade(FPort));
    client.Send(c.Frame);
    const test::TFrame f = client.ReadFrame();
    EXPECT_EQ(f.FirstByte, 0x88);
    EXPECT_EQ(f.Payload, c.Code);
    EXPECT_EQ(client.ReadFrame().FirstByte, 0xFF);
  }
  EXPECT_TRUE(WaitUntil([&] { return FRemoved.load() == 2 && gLive.load() == 0; }));
}

TEST_P(Transport, AnErrorRaisedByTheApplicationEndsTheConnection) {
  Client client(FPort);
  ASSERT_TRUE(client.Upgrade(FPort));
  client.Send(ClientFrame(0x81, "throw"));
  // No close frame: the HTTP connection is simply ended, and the connection freed.
  EXPECT_EQ(client.ReadFrame().FirstByte, 0xFF);
  EXPECT_TRUE(WaitUntil([&] { return FRemoved.load() == 1 && gLive.load() == 0; }));
}

TEST_P(Transport, RejectedHandshakeSendsNoStatusLine) {
  Client client(FPort);
  client.Send("GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
  EXPECT_EQ(client.ReadAll(), "");
  EXPECT_TRUE(WaitUntil([&] { return FHandshakeErrors.load() == 1 && gLive.load() == 0; }));
  EXPECT_EQ(FRemoved.load(), 1);
}

// Clients go away every way they can while the server broadcasts to all of them: every
// connection is removed and freed exactly once, nothing deadlocks and nothing leaks.
TEST_P(Transport, DisconnectRacesFreeEveryConnectionOnce) {
  constexpr int kClients = 60;
  std::atomic<bool> stop{false};
  std::thread broadcaster([&] {
    while (!stop.load()) {
      Broadcast("news");
      std::this_thread::sleep_for(1ms);
    }
  });
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(FPort));
    ASSERT_TRUE(clients.back()->Upgrade(FPort));
  }
  EXPECT_TRUE(WaitUntil([&] { return Listed() == kClients; }));
  for (int i = 0; i < kClients; ++i) {
    Client& c = *clients[static_cast<std::size_t>(i)];
    switch (i % 4) {
      case 0: c.Close(); break;                                  // TCP gone, no close frame
      case 1: c.Send(ClientFrame(0x88, "\x03\xe8")); break;      // orderly close
      case 2: c.Send(ClientFrame(0x81, "close:1000")); break;    // the server closes
      case 3: c.Send(ClientFrame(0x81, "h\xc3\x28")); break;     // protocol error
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return Listed() == 0; }));
  stop = true;
  broadcaster.join();
  EXPECT_EQ(FRemoved.load(), kClients);
  clients.clear();
  EXPECT_TRUE(WaitUntil([&] { return gLive.load() == 0; }));
  // Only the receives posted for the next requests are left.
  EXPECT_TRUE(WaitUntil(
      [&] { return LiveHTTPAPIContexts() == FBaseContexts + TlumHTTPServerAPI::PostedReceives; }));
}

// Stopping the host with connections open: their outstanding contexts end with the pool and
// the list frees what is left, each once (checked by TearDown).
TEST_P(Transport, StopWithOpenConnections) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 10; ++i) {
    clients.push_back(std::make_unique<Client>(FPort));
    ASSERT_TRUE(clients.back()->Upgrade(FPort));
  }
  EXPECT_TRUE(WaitUntil([&] { return Listed() == 10; }));
  FServer.reset();
}

// ---------------------------------------------------------------------------------------
// Pieces without a server

TEST(AddressText, IPv4AndIPv6InStandardForm) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(50000);
  inet_pton(AF_INET, "10.1.2.3", &v4.sin_addr);
  EXPECT_EQ(detail::SocketAddressText(reinterpret_cast<sockaddr*>(&v4)), "10.1.2.3");
  EXPECT_EQ(detail::SocketAddressPort(reinterpret_cast<sockaddr*>(&v4)), 50000);

  const std::pair<const char*, const char*> v6cases[] = {
      {"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
      {"0:0:0:0:0:0:0:1", "::1"},
      {"::ffff:10.1.2.3", "::ffff:10.1.2.3"},
      {"fe80:0:0:0:1:0:0:0", "fe80::1:0:0:0"},
  };
  for (const auto& [in, out] : v6cases) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(443);
    ASSERT_EQ(inet_pton(AF_INET6, in, &v6.sin6_addr), 1) << in;
    EXPECT_EQ(detail::SocketAddressText(reinterpret_cast<sockaddr*>(&v6)), out);
    EXPECT_EQ(detail::SocketAddressPort(reinterpret_cast<sockaddr*>(&v6)), 443);
  }
  EXPECT_EQ(detail::SocketAddressText(nullptr), "");
}

TEST(HTTPDate, EnglishNamesTwoDigitFieldsGMT) {
  EXPECT_EQ(detail::FormatHTTPDate(std::chrono::system_clock::from_time_t(784111777)),
            "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(detail::FormatHTTPDate(std::chrono::system_clock::from_time_t(951782400)),
            "Tue, 29 Feb 2000 00:00:00 GMT");
}

TEST(Detached, NothingIsSentAndNothingIsRaised) {
  auto* c = new TlumWSConnectionServer_HTTPAPI();
  EXPECT_FALSE(c->GetActive());
  EXPECT_FALSE(c->HasPeer());
  c->WriteBytes("x");
  c->SendHTTPStatus(404, "");
  c->DisconnectPeer();
  EXPECT_EQ(c->SendBytes(), 0);
  c->Free();
}

}  // namespace
}  // namespace quillon
