// The HTTP Server API server component over loopback with raw socket clients: the prefixes
// an activation registers, limits, time-outs, logging and TLS applied to the host, the
// dispatch of upgrades, documents, plain requests and refused upgrades, broadcasts with
// channels to many clients, clients vanishing while others echo, and deactivation with live
// connections, and the watchdog starting a server that lost its host, restarting one that
// no longer accepts its own WebSocket connection, and ending after its attempts. The wire
// tests run with synchronous and asynchronous sends.
#include "server/lumWebSocket_Server_HTTPAPI.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connection/MemoryConnection.h"
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"
#include "connection/lumWebSocket_Hash.h"
#include "platform/httpapi/CertStore.h"
#include "support/LoopbackClient.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace quillon {
namespace {

using testwait::WaitUntil;

using loopback::FreePort;

// A raw client that also speaks WebSocket text.
class Client : public loopback::Client {
 public:
  using loopback::Client::Client;
  // The request's status line, or empty.
  std::string Upgrade(int aPort, const std::string& aPath = "/", const std::string& aExtra = "") {
    Send("GET " + aPath + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(aPort) +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" + aExtra +
         "\r\n");
    const std::string head = ReadHead();
    return head.substr(0, head.find("\r\n"));
  }
  bool SendText(std::string_view aText) { return Send(test::ClientFrame(0x81, aText)); }
  // The next text frame's payload, or "<eof>".
  std::string ReadText() {
    const test::TFrame f = ReadFrame();
    return f.FirstByte == 0xFF ? "<eof>" : f.Payload;
  }
};

// Status line of a whole plain request's answer, and the answer.
std::string Request(int aPort, const std::string& aRequest, std::string* aAnswer = nullptr) {
  Client c(aPort);
  c.Send(aRequest);
  const std::string all = c.ReadAll();
  if (aAnswer != nullptr) *aAnswer = all;
  return all.substr(0, all.find("\r\n"));
}

std::string Get(int aPort, const std::string& aPath, const std::string& aExtra = "",
                std::string* aAnswer = nullptr) {
  return Request(aPort,
                 "GET " + aPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + aExtra + "\r\n",
                 aAnswer);
}

std::string Body(const std::string& aAnswer) {
  const std::size_t at = aAnswer.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : aAnswer.substr(at + 4);
}

// A server that echoes text and lets clients subscribe with "sub:<channels>".
std::unique_ptr<TlumWSServer_HTTPAPI> NewEchoServer(int aPort, bool aAsynchronous) {
  auto s = std::make_unique<TlumWSServer_HTTPAPI>();
  s->SetPort(aPort);
  s->SetThreadPoolSize(4);
  s->SetAsynchronous(aAsynchronous);
  s->OnMessage = [](TlumWSConnection* c, const std::string& t) {
    if (t.rfind("sub:", 0) == 0) {
      c->DoSubscribe(t.substr(4));
      c->WriteData("subscribed");
      return;
    }
    c->WriteData(t);
  };
  return s;
}

class Wire : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    FPort = FreePort();
    FServer = NewEchoServer(FPort, GetParam());
  }
  void TearDown() override {
    FServer.reset();
    EXPECT_EQ(LiveHTTPAPIContexts(), 0);
  }
  int FPort = 0;
  std::unique_ptr<TlumWSServer_HTTPAPI> FServer;
};

INSTANTIATE_TEST_SUITE_P(Sends, Wire, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Asynchronous" : "Synchronous"; });

// ---------------------------------------------------------------------------------------
// Activation

TEST(Activation, PrefixesFromHostPortBindingsAndAuthentication) {
  struct TCase {
    const char* Name;
    std::function<void(TlumWSServer_HTTPAPI&, int)> Set;
    std::function<std::vector<std::string>(int)> Expected;
  };
  auto p = [](int port) { return std::to_string(port); };
  const TCase cases[] = {
      {"main prefix only", [](TlumWSServer_HTTPAPI&, int) {},
       [&](int port) { return std::vector<std::string>{"http://127.0.0.1:" + p(port) + "/"}; }},
      {"no host: only bindings, a duplicate registered once",
       [](TlumWSServer_HTTPAPI& s, int port) {
         s.SetHost("");
         s.Bindings().NewBinding("127.0.0.1", port, "chat");
         s.Bindings().NewBinding("127.0.0.1", port, "/chat/");
         s.Bindings().NewBinding("127.0.0.1", port, "");
       },
       [&](int port) {
         return std::vector<std::string>{"http://127.0.0.1:" + p(port) + "/chat/",
                                         "http://127.0.0.1:" + p(port) + "/"};
       }},
      {"authentication over TLS: four prefixes",
       [](TlumWSServer_HTTPAPI& s, int) {
         s.SetSSL(true);
         s.BindingOptions().ConfigureSSLCertificate = false;
         s.Authentication().Enabled = true;
       },
       [&](int port) {
         const std::string b = "https://127.0.0.1:" + p(port);
         return std::vector<std::string>{b + "/", b + "/lum/req/auth/session/", b + "/lum/auth/session/",
                                         b + "/lum/auth/url/"};
       }},
      {"authentication without session: the URL path only",
       [](TlumWSServer_HTTPAPI& s, int) {
         s.Authentication().Enabled = true;
         s.Authentication().Session.Enabled = false;
       },
       [&](int port) {
         const std::string b = "http://127.0.0.1:" + p(port);
         return std::vector<std::string>{b + "/", b + "/lum/auth/url/"};
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const int port = FreePort();
    TlumWSServer_HTTPAPI s;
    s.SetPort(port);
    s.SetThreadPoolSize(2);
    c.Set(s, port);
    s.SetActive(true);
    EXPECT_TRUE(s.Active());
    EXPECT_EQ(s.RegisteredBindings(), c.Expected(port));
    s.SetActive(false);
    EXPECT_FALSE(s.Active());
    EXPECT_TRUE(s.RegisteredBindings().empty());
  }
}

TEST(Activation, BeforeBindingMayAddAPrefixThatIsThenServed) {
  const int port = FreePort();
  const int extra = FreePort();
  TlumWSServer_HTTPAPI s;
  s.SetPort(port);
  s.SetThreadPoolSize(2);
  s.OnBeforeBinding = [&](TlumWSServer_HTTPAPI*, std::vector<std::string>& b) {
    b.push_back("http://127.0.0.1:" + std::to_string(extra) + "/");
  };
  s.SetActive(true);
  EXPECT_EQ(Get(extra, "/Quillon.js").substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(s.RegisteredBindings().size(), 2u);
}

TEST(Activation, ErrorsPropagateAndLeaveTheHostToDeactivation) {
  const int port = FreePort();
  {
    TlumWSServer_HTTPAPI s;
    s.SetPort(port);
    s.SetSSL(true);
    try {
      s.SetActive(true);
      FAIL() << "activation with TLS and no hash must fail";
    } catch (const TlumWSException& e) {
      EXPECT_STREQ(e.what(), "Error SSL Hash not found.");
    }
    EXPECT_TRUE(s.Active());  // the host exists until deactivation
    s.SetActive(false);
    EXPECT_FALSE(s.Active());
  }
  // A port that someone else holds.
  const int busy = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(busy, 1), 0);
  TlumWSServer_HTTPAPI s;
  s.SetPort(port);
  s.SetThreadPoolSize(2);
  EXPECT_THROW(s.SetActive(true), TlumWSException);
  s.SetActive(false);
  close(busy);
  // A fresh host on the next activation.
  s.SetActive(true);
  EXPECT_EQ(Get(port, "/Quillon.js").substr(0, 15), "HTTP/1.1 200 OK");
}

TEST(Activation, LogFolderTimeoutsAndConnectionLimitReachTheHost) {
  const auto folder = std::filesystem::temp_directory_path() / ("quillon-h12-log-" + std::to_string(getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const int port = FreePort();
  {
    TlumWSServer_HTTPAPI s;
    s.SetPort(port);
    s.SetThreadPoolSize(2);
    s.LogFile().Enabled = true;
    s.LogFile().FileName = (folder / "ignored.log").string();
    EXPECT_EQ(s.LogFile().FileName, folder.string() + "/");  // read back as its folder
    s.Timeouts().Enabled = true;
    s.Timeouts().IdleConnection = 1;
    s.Timeouts().HeaderWait = 1;
    s.SetMaxConnections(1);
    s.SetActive(true);

    // A client that says nothing is dropped by the header-wait time-out.
    Client idle(port, 8);
    const auto start = std::chrono::steady_clock::now();
    idle.ReadAll();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);

    // One live WebSocket takes the only connection; the next request is refused.
    Client ws(port);
    ASSERT_EQ(ws.Upgrade(port), "HTTP/1.1 101 Switching Protocols");
    EXPECT_EQ(Get(port, "/Quillon.js"), "HTTP/1.1 503 Service Unavailable");
    ws.Close();
    ASSERT_TRUE(WaitUntil([&] { return s.Count() == 0; }));
    EXPECT_EQ(Get(port, "/Quillon.js"), "HTTP/1.1 200 OK");
    s.SetActive(false);
  }
  bool logged = false;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
    if (!e.is_regular_file()) continue;
    std::FILE* f = std::fopen(e.path().c_str(), "r");
    std::string text(4096, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), f));
    std::fclose(f);
    if (text.find("/Quillon.js") != std::string::npos) logged = true;
  }
  EXPECT_TRUE(logged);
  std::filesystem::remove_all(folder);
}

TEST(Activation, TlsWithAStoreCertificate) {
  const auto store = std::filesystem::temp_directory_path() / ("quillon-h12-store-" + std::to_string(getpid()));
  std::filesystem::remove_all(store);
  const std::string hash = platform::CreateSelfSignedCertificate(store.string(), "127.0.0.1");
  const int port = FreePort();
  {
    TlumWSServer_HTTPAPI s;
    s.SetPort(port);
    s.SetThreadPoolSize(2);
    s.SetSSL(true);
    s.SSLOptions().Hash = hash;
    s.SSLOptions().CertStoreName = store.string();
    s.SetActive(true);
    ASSERT_EQ(s.RegisteredBindings(), std::vector<std::string>{"https://127.0.0.1:" + std::to_string(port) + "/"});
    const std::string command = "curl -sk --max-time 10 https://127.0.0.1:" + std::to_string(port) + "/Quillon.html";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string page;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) page.append(buf, n);
    pclose(pipe);
    // The test page names the server it came from, scheme included.
    EXPECT_NE(page.find("wss://"), std::string::npos) << page.substr(0, 300);
    s.SetActive(false);
  }
  std::filesystem::remove_all(store);
}

// ---------------------------------------------------------------------------------------
// Dispatch

TEST_P(Wire, UpgradeDocumentsPlainRequestsAndRefusals) {
  FServer->SecurityOptions().OriginsAllowed = "http://good.example";
  FServer->SetActive(true);

  Client ws(FPort);
  ASSERT_EQ(ws.Upgrade(FPort, "/", "Origin: http://good.example\r\n"), "HTTP/1.1 101 Switching Protocols");
  ws.SendText("Test");
  EXPECT_EQ(ws.ReadText(), "Test");
  EXPECT_EQ(FServer->Count(), 1);

  struct TCase {
    const char* Name;
    std::string Request;
    std::string Status;
  };
  const std::string upgrade =
      "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n";
  const TCase cases[] = {
      {"built-in document", "GET /Quillon.js HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK"},
      {"plain request nothing handles", "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n",
       "HTTP/1.1 404 Not Found"},
      {"plain post nothing handles",
       "POST /form HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.1 404 Not Found"},
      {"upgrade without a key", "GET / HTTP/1.1\r\nHost: x\r\n" + upgrade + "\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"upgrade from a refused origin",
       "GET / HTTP/1.1\r\nHost: x\r\n" + upgrade +
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: http://evil.example\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"event stream while the fall-back is off",
       "GET /events HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n", "HTTP/1.1 404 Not Found"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(Request(FPort, c.Request), c.Status);
  }
  // Refusals leave nothing listed (a refused upgrade leaves the list just after its answer
  // is sent); the live connection still echoes.
  EXPECT_TRUE(WaitUntil([&] { return FServer->Count() == 1; }, 5s)) << FServer->Count();
  ws.SendText("again");
  EXPECT_EQ(ws.ReadText(), "again");
}

TEST_P(Wire, OnHTTPRequestAnswersOnlyWithResponseNo200) {
  std::atomic<int> calls{0};
  FServer->OnHTTPRequest = [&](TlumWSConnection_HTTPAPI*, const THttpServerRequest& r, THttpServerResponse& a) {
    ++calls;
    a.ContentText = "doc=" + r.Document + " body=" + r.Content;
    a.ContentType = "text/plain";
    if (r.Document == "/ok") a.ResponseNo = 200;
    if (r.Document == "/throw") throw TlumWSException("handler failed");
  };
  FServer->SetActive(true);
  std::string answer;
  EXPECT_EQ(Request(FPort, "POST /ok HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", &answer),
            "HTTP/1.1 200 OK");
  EXPECT_EQ(Body(answer), "doc=/ok body=hello");
  EXPECT_NE(answer.find("Content-Type: text/plain"), std::string::npos);
  EXPECT_EQ(Get(FPort, "/filled-but-no-status"), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Get(FPort, "/throw"), "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(calls.load(), 3);
}

TEST_P(Wire, AuthenticationOfUpgradesAndPlainRequests) {
  FServer->Authentication().Enabled = true;
  FServer->Authentication().Basic.Enabled = true;
  FServer->Authentication().AuthUsers = {"alice=Secret"};
  std::atomic<int> asked{0};
  FServer->OnAuthentication = [&](TlumWSConnection*, const std::string& u, const std::string& pw, bool& ok) {
    ++asked;
    if (u == "bob" && pw == "pw") ok = true;
  };
  FServer->OnHTTPRequest = [](TlumWSConnection_HTTPAPI*, const THttpServerRequest& r, THttpServerResponse& a) {
    a.ResponseNo = 200;
    a.ContentText = "hello " + r.AuthUsername;
  };
  FServer->SetActive(true);

  {
    Client ok(FPort);
    EXPECT_EQ(ok.Upgrade(FPort, "/lum/auth/url/ALICE/Secret"), "HTTP/1.1 101 Switching Protocols");
    ok.SendText("in");
    EXPECT_EQ(ok.ReadText(), "in");
    Client refused(FPort);
    EXPECT_EQ(refused.Upgrade(FPort, "/lum/auth/url/alice/secret"), "HTTP/1.1 404 Not Found");
  }
  std::string answer;
  EXPECT_EQ(Get(FPort, "/page"), "HTTP/1.1 401 Unauthorized");
  const int before = asked.load();
  EXPECT_EQ(Get(FPort, "/page", "Authorization: Basic " + Base64Encode("alice:Secret") + "\r\n", &answer),
            "HTTP/1.1 200 OK");
  EXPECT_EQ(Body(answer), "hello alice");
  EXPECT_EQ(asked.load(), before);  // the list accepted alice: no event
  EXPECT_EQ(Get(FPort, "/page", "Authorization: Basic " + Base64Encode("bob:pw") + "\r\n", &answer),
            "HTTP/1.1 200 OK");
  EXPECT_EQ(asked.load(), before + 1);
  EXPECT_EQ(Get(FPort, "/page", "Authorization: Basic " + Base64Encode("bob:no") + "\r\n"),
            "HTTP/1.1 401 Unauthorized");
}

TEST_P(Wire, ServerSentEventStreamIsListedUntilTheClientLeaves) {
  FServer->FallBack().ServerSentEvents.Enabled = true;
  FServer->SetActive(true);
  {
    Client stream(FPort);
    stream.Send("GET /events HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n");
    const std::string head = stream.ReadHead();
    EXPECT_EQ(head.substr(0, 15), "HTTP/1.1 200 OK") << head;
    ASSERT_TRUE(WaitUntil([&] { return FServer->Count() == 1; }));
    // Up goes an XHR post to the stream's GUID; the echo comes down the stream.
    const std::string guid = FServer->Connections(0)->Guid();
    EXPECT_EQ(Request(FPort, "POST /lum/xhr/" + guid +
                                 " HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhi up"),
              "HTTP/1.1 200 OK");
    FServer->Broadcast("news");
    std::string seen;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (seen.find("data: news") == std::string::npos && std::chrono::steady_clock::now() < end) {
      // Events end with a blank line; reads are bounded by the socket time-out.
      const std::string more = stream.ReadHead();
      if (more.empty()) break;
      seen += more;
    }
    EXPECT_NE(seen.find("data: " + guid), std::string::npos) << seen;
    EXPECT_NE(seen.find("data: hi up\r\n\r\ndata: news"), std::string::npos) << seen;
  }
  // Nobody reads an event stream, so its end shows when the next events fail to go out.
  EXPECT_TRUE(WaitUntil([&] {
    FServer->Broadcast("anyone?");
    return FServer->Count() == 0;
  }));
}

// ---------------------------------------------------------------------------------------
// Many clients

TEST_P(Wire, BroadcastWithChannelsReachesTwoHundredClients) {
  FServer->SetActive(true);
  constexpr int kClients = 200;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(FPort));
    ASSERT_EQ(clients.back()->Upgrade(FPort), "HTTP/1.1 101 Switching Protocols") << i;
  }
  // Even clients join "even", every third one "third" too.
  for (int i = 0; i < kClients; ++i) {
    std::string channels = i % 2 == 0 ? "even" : "odd";
    if (i % 3 == 0) channels += ",third";
    clients[i]->SendText("sub:" + channels);
    ASSERT_EQ(clients[i]->ReadText(), "subscribed") << i;
  }
  ASSERT_EQ(FServer->Count(), kClients);

  FServer->Broadcast("to-even", "even");
  FServer->Broadcast("to-third-or-odd", "third,odd");
  FServer->Broadcast("to-all");
  for (int i = 0; i < kClients; ++i) {
    SCOPED_TRACE(i);
    if (i % 2 == 0) {
      EXPECT_EQ(clients[i]->ReadText(), "to-even");
    }
    if (i % 3 == 0 || i % 2 == 1) {
      EXPECT_EQ(clients[i]->ReadText(), "to-third-or-odd");
    }
    EXPECT_EQ(clients[i]->ReadText(), "to-all");
  }
  // A protocol nobody negotiated reaches nobody; an include list reaches just its member.
  FServer->Broadcast("nobody", "", "chat");
  const std::string guid = FServer->Connections(7)->Guid();
  FServer->Broadcast("just-one", "", "", "", guid);
  FServer->Broadcast("last");
  for (int i = 0; i < kClients; ++i) {
    if (FServer->Connections(i) != nullptr && FServer->Connections(i)->Guid() == guid) {
      EXPECT_EQ(clients[i]->ReadText(), "just-one");
    }
    EXPECT_EQ(clients[i]->ReadText(), "last") << i;
  }
}

TEST_P(Wire, ClientsVanishingAbruptlyWhileOthersKeepEchoing) {
  FServer->Optimizations().ConnectionsFree.Interval = 1;
  FServer->SetActive(true);
  constexpr int kSteady = 8;
  std::vector<std::unique_ptr<Client>> steady;
  for (int i = 0; i < kSteady; ++i) {
    steady.push_back(std::make_unique<Client>(FPort));
    ASSERT_EQ(steady.back()->Upgrade(FPort), "HTTP/1.1 101 Switching Protocols");
  }
  std::atomic<bool> done{false};
  std::atomic<int> echoes{0}, wrong{0};
  std::thread echoer([&] {
    for (int round = 0; !done.load(); ++round) {
      for (int i = 0; i < kSteady; ++i) {
        const std::string text = "m" + std::to_string(round) + "-" + std::to_string(i);
        steady[i]->SendText(text);
        if (steady[i]->ReadText() == text) ++echoes; else ++wrong;
      }
    }
  });
  const auto limit = std::chrono::steady_clock::now() + 30s;
  for (int i = 0; i < 200 && std::chrono::steady_clock::now() < limit; ++i) {
    Client gone(FPort);
    ASSERT_EQ(gone.Upgrade(FPort), "HTTP/1.1 101 Switching Protocols");
    if (i % 2 == 0) gone.SendText("half a message");  // an echo may be in flight as it goes
    gone.Abort();
  }
  done = true;
  echoer.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(echoes.load(), 0);
  EXPECT_TRUE(WaitUntil([&] { return FServer->Count() == kSteady; }, 15s)) << FServer->Count();
  EXPECT_TRUE(WaitUntil([&] { return FServer->ConnectionsFreeCount() == 0; }, 15s));
}

// Raw DEFLATE of aText, sync-flushed: a compressed fragment a peer would send.
std::string DeflateRaw(const std::string& aText) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(aText.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aText.data()));
  z.avail_in = static_cast<uInt>(aText.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_SYNC_FLUSH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

// Clients that each leave one compressed fragment which inflates large: what it holds goes
// when its connection ends (not when the freeing timer runs), and those held at once are
// bounded by the process-wide budget, the newest offender being closed with 1009.
TEST_P(Wire, UnfinishedCompressedMessagesAreBoundedAndFreedAtDisconnect) {
  using Reader = TlumWSConnection_Base_Indy;
  const std::int64_t savedBudget = Reader::UnfinishedMessageBudget();
  const std::int64_t base = Reader::UnfinishedMessageBytes();
  constexpr std::int64_t kInflated = 16 << 20;
  FServer->Extensions().PerMessage_Deflate().SetEnabled(true);
  FServer->Optimizations().ConnectionsFree.Interval = 600;  // the timer plays no part
  FServer->Options().CleanDisconnect = true;                 // so that the 1009 is sent
  FServer->SetActive(true);
  const std::string fragment =
      test::ClientFrame(0x41, DeflateRaw(std::string(static_cast<std::size_t>(kInflated), 'x')));
  ASSERT_LT(fragment.size(), 64u * 1024);
  const std::string offer = "Sec-WebSocket-Extensions: permessage-deflate\r\n";

  // One after the other: each is given back as its client goes.
  std::int64_t one = 0;  // what one such message holds
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    Client c(FPort);
    ASSERT_EQ(c.Upgrade(FPort, "/", offer), "HTTP/1.1 101 Switching Protocols");
    ASSERT_TRUE(c.Send(fragment));
    ASSERT_TRUE(WaitUntil([&] { return Reader::UnfinishedMessageBytes() >= base + kInflated; }));
    one = Reader::UnfinishedMessageBytes() - base;
    c.Abort();
    ASSERT_TRUE(WaitUntil([&] { return Reader::UnfinishedMessageBytes() == base; }))
        << Reader::UnfinishedMessageBytes() - base;
  }

  // At once, against a budget with room for two.
  Reader::SetUnfinishedMessageBudget(base + 2 * one + one / 2);
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<Client>(FPort));
    ASSERT_EQ(clients.back()->Upgrade(FPort, "/", offer), "HTTP/1.1 101 Switching Protocols");
  }
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(clients[i]->Send(fragment));
    ASSERT_TRUE(WaitUntil([&] { return Reader::UnfinishedMessageBytes() >= base + (i + 1) * one; }));
  }
  ASSERT_TRUE(clients[2]->Send(fragment));
  const test::TFrame close = clients[2]->ReadFrame();
  EXPECT_EQ(close.FirstByte, 0x88);
  EXPECT_EQ(close.Payload, std::string("\x03\xF1", 2));
  EXPECT_EQ(clients[2]->ReadText(), "<eof>");
  EXPECT_LE(Reader::UnfinishedMessageBytes(), Reader::UnfinishedMessageBudget());
  // The two that fitted are still there, holding their messages.
  EXPECT_TRUE(WaitUntil([&] { return FServer->Count() == 2; }));
  EXPECT_EQ(Reader::UnfinishedMessageBytes(), base + 2 * one);
  clients.clear();
  EXPECT_TRUE(WaitUntil([&] { return Reader::UnfinishedMessageBytes() == base; }));
  Reader::SetUnfinishedMessageBudget(savedBudget);
}

// A handler that throws, whatever it throws, is reported as that connection's error like
// any other; the worker goes on serving everyone else.
TEST_P(Wire, HandlersThrowingAnythingLeaveTheWorkersServing) {
  FServer->SetThreadPoolSize(1);  // one worker: losing it would stop everything
  std::mutex lock;
  std::vector<std::string> errors;
  FServer->OnError = [&](TlumWSConnection*, const std::string& e) {
    std::lock_guard guard(lock);
    errors.push_back(e);
  };
  FServer->OnMessage = [](TlumWSConnection* c, const std::string& t) {
    if (t == "int") throw 42;
    if (t == "pair") throw std::pair<int, int>(1, 2);
    if (t == "std") throw std::runtime_error("handler failed");
    c->WriteData(t);
  };
  FServer->SetActive(true);
  Client steady(FPort);
  ASSERT_EQ(steady.Upgrade(FPort), "HTTP/1.1 101 Switching Protocols");
  for (const char* kind : {"std", "int", "pair", "int"}) {
    SCOPED_TRACE(kind);
    Client thrower(FPort);
    ASSERT_EQ(thrower.Upgrade(FPort), "HTTP/1.1 101 Switching Protocols");
    thrower.SendText(kind);
    thrower.SendText("after");
    // The throwing connection ends as after any handler error; nothing else does.
    EXPECT_EQ(thrower.ReadText(), "<eof>");
    steady.SendText("still here");
    EXPECT_EQ(steady.ReadText(), "still here");
  }
  std::lock_guard guard(lock);
  EXPECT_EQ(errors, (std::vector<std::string>{"handler failed", "Unknown exception",
                                              "Unknown exception", "Unknown exception"}));
}

// A client that writes its frames and half-closes in one go: every message reaches the
// application before the disconnect does, the two never run at once, and every message is
// echoed.
TEST_P(Wire, FramesBeforeAHalfCloseAreDeliveredBeforeTheDisconnect) {
  std::mutex lock;
  std::vector<std::string> seen;
  std::atomic<int> inside{0}, overlaps{0}, disconnects{0};
  auto enter = [&] {
    if (++inside > 1) ++overlaps;
    // Long enough for a second worker to run into this one if the connection let it.
    std::this_thread::sleep_for(200us);
  };
  FServer->OnMessage = [&](TlumWSConnection* c, const std::string& t) {
    enter();
    {
      std::lock_guard guard(lock);
      seen.push_back(t);
    }
    c->WriteData(t);
    --inside;
  };
  FServer->OnDisconnect = [&](TlumWSConnection*, int) {
    enter();
    {
      std::lock_guard guard(lock);
      seen.push_back("<end>");
    }
    --inside;
    ++disconnects;
  };
  FServer->SetActive(true);
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) expected.push_back("m" + std::to_string(i));
  expected.push_back("<end>");
  for (const bool closeFrame : {false, true}) {
    for (int round = 0; round < 25; ++round) {
      SCOPED_TRACE(testing::Message() << "close frame " << closeFrame << " round " << round);
      {
        std::lock_guard guard(lock);
        seen.clear();
      }
      const int before = disconnects.load();
      Client c(FPort);
      ASSERT_EQ(c.Upgrade(FPort), "HTTP/1.1 101 Switching Protocols");
      std::string burst;
      for (int i = 0; i < 10; ++i) burst += test::ClientFrame(0x81, "m" + std::to_string(i));
      if (closeFrame) burst += test::ClientFrame(0x88, std::string("\x03\xE8", 2));
      ASSERT_TRUE(c.Send(burst));
      c.ShutdownWrite();
      std::vector<std::string> echoed;
      for (test::TFrame f = c.ReadFrame(); f.FirstByte != 0xFF; f = c.ReadFrame())
        if (f.FirstByte == 0x81) echoed.push_back(f.Payload);
      ASSERT_TRUE(WaitUntil([&] { return disconnects.load() == before + 1; }, 10s));
      expected.pop_back();
      EXPECT_EQ(echoed, expected);
      expected.push_back("<end>");
      std::lock_guard guard(lock);
      EXPECT_EQ(seen, expected);
    }
  }
  EXPECT_EQ(overlaps.load(), 0);
}

TEST_P(Wire, DeactivationWithLiveConnectionsEndsThemAndFreesEverything) {
  std::atomic<int> disconnects{0};
  FServer->OnDisconnect = [&](TlumWSConnection*, int) { ++disconnects; };
  FServer->SetActive(true);
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 50; ++i) {
    clients.push_back(std::make_unique<Client>(FPort));
    ASSERT_EQ(clients.back()->Upgrade(FPort), "HTTP/1.1 101 Switching Protocols");
  }
  // Some traffic still on its way while the server goes.
  for (auto& c : clients) c->SendText("late");
  FServer->SetActive(false);
  EXPECT_FALSE(FServer->Active());
  EXPECT_EQ(FServer->Count(), 0);
  EXPECT_EQ(LiveHTTPAPIContexts(), 0);
  for (auto& c : clients) {
    // Whatever arrived before the end, the stream then ends.
    for (std::string t = c->ReadText(); t != "<eof>"; t = c->ReadText()) EXPECT_EQ(t, "late");
  }
  // The server comes back on a fresh host and serves again.
  FServer->SetActive(true);
  Client again(FPort);
  ASSERT_EQ(again.Upgrade(FPort), "HTTP/1.1 101 Switching Protocols");
  again.SendText("back");
  EXPECT_EQ(again.ReadText(), "back");
}


// ---------------------------------------------------------------------------------------
// Watchdog

// An echo server whose watchdog self-connections are counted, and whose host can be lost
// without a deactivation (as when the transport goes away under a running server).
class TWatchedServer : public TlumWSServer_HTTPAPI {
 public:
  explicit TWatchedServer(int aPort) {
    SetPort(aPort);
    SetThreadPoolSize(4);
    WatchDog().Enabled = true;
    WatchDog().Interval = 1;
    WatchDog().Monitor.TimeOut = 2;
    OnMessage = [](TlumWSConnection* c, const std::string& t) { c->WriteData(t); };
    OnHTTPRequest = [](TlumWSConnection_HTTPAPI*, const THttpServerRequest&, THttpServerResponse& r) {
      r.ResponseNo = 200;
      r.ContentText = "plain";
    };
    OnStartup = [this](TlumWSServer_Base*) { ++Startups; };
    OnConnect = [this](TlumWSConnection*) { ++Events; };
    OnDisconnect = [this](TlumWSConnection*, int) { ++Events; };
    OnError = [this](TlumWSConnection*, const std::string&) { ++Events; };
    OnException = [this](TlumWSConnection*, const std::exception&) { ++Events; };
  }
  // The timers and the workers go while the counting override still exists.
  ~TWatchedServer() override { StopForDestruction(); }

  void LoseHost() {
    std::lock_guard hold(FCS);
    DoStop();
  }

  std::atomic<int> Startups{0};
  std::atomic<int> Events{0};
  std::atomic<int> MonitorSuccesses{0};
  std::atomic<int> MonitorFailures{0};
  int MonitorCalls() const { return MonitorSuccesses + MonitorFailures; }

 protected:
  bool DoMonitorConnect(const std::string& aHost, int aPort, bool aSSL, const std::string& aPath,
                        int aTimeOutMs) override {
    const bool ok = TlumWSServer_HTTPAPI::DoMonitorConnect(aHost, aPort, aSSL, aPath, aTimeOutMs);
    ++(ok ? MonitorSuccesses : MonitorFailures);
    return ok;
  }
};

// A WebSocket echo and a plain GET against the server.
void ExpectServing(int aPort) {
  Client c(aPort);
  ASSERT_TRUE(c.Connected());
  ASSERT_EQ(c.Upgrade(aPort), "HTTP/1.1 101 Switching Protocols");
  c.SendText("watched");
  EXPECT_EQ(c.ReadText(), "watched");
  std::string answer;
  EXPECT_EQ(Get(aPort, "/anything", "", &answer), "HTTP/1.1 200 OK");
  EXPECT_EQ(Body(answer), "plain");
}

bool Refused(int aPort) { return !Client(aPort, 2).Connected(); }

TEST(WatchDog, StartsAServerThatLostItsHost) {
  const int port = FreePort();
  TWatchedServer s(port);
  s.SetActive(true);
  ExpectServing(port);
  s.LoseHost();
  ASSERT_FALSE(s.Active());
  EXPECT_TRUE(Refused(port));
  // The next tick finds it inactive and starts it on a fresh host.
  ASSERT_TRUE(WaitUntil([&] { return s.Active() && s.Startups == 2; }, 5s));
  ExpectServing(port);
  EXPECT_EQ(s.RegisteredBindings(), std::vector<std::string>{"http://127.0.0.1:" + std::to_string(port) + "/"});
  // Without the monitor an active server is left alone.
  EXPECT_EQ(s.MonitorCalls(), 0);
}

TEST(WatchDog, MonitorLeavesAnAnsweringServerAloneAndRestartsADeafOne) {
  const int port = FreePort();
  TWatchedServer s(port);
  s.WatchDog().Monitor.Enabled = true;
  s.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return s.MonitorSuccesses >= 2; }, 6s)) << s.MonitorFailures;
  // Its own connections are internal: no events, and no restart while they succeed.
  EXPECT_EQ(s.MonitorFailures, 0);
  EXPECT_EQ(s.Events, 0);
  EXPECT_EQ(s.Startups, 1);
  EXPECT_TRUE(WaitUntil([&] { return s.Count() == 0; }, 3s)) << s.Count();
  // A client's connection still raises its events.
  {
    Client c(port);
    ASSERT_EQ(c.Upgrade(port), "HTTP/1.1 101 Switching Protocols");
  }
  ASSERT_TRUE(WaitUntil([&] { return s.Events == 2; }, 5s)) << s.Events;

  // The prefix goes from the URL group: the server is still active but deaf.
  const std::string prefix = "http://127.0.0.1:" + std::to_string(port) + "/";
  // Under the component lock, as the watchdog's restart may replace the host.
  s.DoEnterCS();
  const int removed = s.HTTPServerAPI()->RemoveUrl(prefix);
  s.DoLeaveCS();
  ASSERT_EQ(removed, 0);
  EXPECT_TRUE(s.Active());
  EXPECT_TRUE(Refused(port));
  ASSERT_TRUE(WaitUntil([&] { return s.Startups == 2 && s.Active(); }, 6s));
  EXPECT_EQ(s.RegisteredBindings(), std::vector<std::string>{prefix});
  ExpectServing(port);
  // The restarted server's watchdog monitors again, and succeeds.
  const int before = s.MonitorSuccesses;
  EXPECT_TRUE(WaitUntil([&] { return s.MonitorSuccesses > before; }, 4s));
  EXPECT_EQ(s.Startups, 2);
}

TEST(WatchDog, AttemptsEndTheWatchAfterThatManyTicks) {
  const int port = FreePort();
  TWatchedServer s(port);
  s.WatchDog().Attempts = 2;
  s.WatchDog().Monitor.Enabled = true;
  s.SetActive(true);
  s.LoseHost();
  // First tick: starts the server; second tick: whatever it finds, the watch ends.
  ASSERT_TRUE(WaitUntil([&] { return s.WatchDogAttempts() == 2; }, 5s));
  ASSERT_TRUE(WaitUntil([&] { return s.Active() && s.Startups == 2; }, 3s));
  EXPECT_LE(s.MonitorCalls(), 1);
  const int calls = s.MonitorCalls();
  s.LoseHost();
  std::this_thread::sleep_for(2500ms);
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.WatchDogAttempts(), 2);
  EXPECT_EQ(s.MonitorCalls(), calls);
  EXPECT_EQ(s.Startups, 2);
}

TEST(WatchDog, DeactivationWhileUpgradesArriveWithTheMonitorOn) {
  // Every upgrade is checked against the monitor's secret while deactivation forgets it.
  // The clients are connected before each round, so that only their requests race the stop.
  const int port = FreePort();
  TWatchedServer s(port);
  s.WatchDog().Interval = 60;
  s.WatchDog().Monitor.Enabled = true;
  for (int round = 0; round < 5; ++round) {
    s.SetActive(true);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(std::make_unique<Client>(port, 2));
    std::this_thread::sleep_for(50ms);
    std::thread upgrades([&] {
      for (auto& c : clients) c->Upgrade(port);
    });
    std::this_thread::sleep_for(2ms);
    s.SetActive(false);
    upgrades.join();
  }
  s.SetActive(true);
  ExpectServing(port);
}

}  // namespace
}  // namespace quillon
