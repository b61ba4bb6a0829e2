// The request-queue host: worker pool on its own (start, stop packets, failed completions),
// dispatch of every context kind, and the whole host with real loopback clients (receive
// thread, settings on the URL group, TLS bindings, logging, load and shutdown under load).
#include "httpapi/lumWebSocket_HTTPAPI_Server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "httpapi/lumWebSocket_HTTPAPI.h"
#include "platform/httpapi/CertStore.h"
#include "platform/win32/CompletionPort.h"
#include "platform/win32/KernelObject.h"
#include "support/LoopbackClient.h"
#include "support/WaitUntil.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using testwait::WaitUntil;

class TestConnection : public TlumHTTPAPIConnection {
 public:
  static inline std::atomic<int> alive{0};
  TestConnection() { ++alive; }
  void DoReadData(DWORD aBytesReceived) override {
    lastRead = aBytesReceived;
    ++reads;
  }
  std::atomic<DWORD> lastRead{0};
  std::atomic<int> reads{0};

 protected:
  ~TestConnection() override { --alive; }
};

// Posts a completion that reports failure, as the API does for an operation that failed.
void PostFailed(HANDLE port, TlumHTTPAPIContext* context, DWORD status) {
  namespace d = platform::detail;
  auto object = d::ReferenceHandle(port);
  ASSERT_TRUE(object);
  ASSERT_TRUE(d::PostCompletion(object.get(), 0, 0, &context->overlapped, status));
}

void Post(HANDLE port, TlumHTTPAPIContext* context, DWORD bytes = 0) {
  ASSERT_TRUE(PostQueuedCompletionStatus(port, bytes, 0, &context->overlapped));
}

// A context on a connection that only the context holds.
TlumHTTPAPIContext* OnNewConnection(THTTPAPIMethods method) {
  auto* connection = new TestConnection;
  TlumHTTPAPIContext* context = NewHTTPAPIContext(method, connection);
  connection->Release();
  return context;
}

// ---------------------------------------------------------------------------------------
// Hash decoding

TEST(DecodeHash, TwoDigitsPerByteAnyCaseOthersZero) {
  const struct {
    const char* text;
    std::vector<BYTE> bytes;
  } cases[] = {
      {"0a1B", {0x0A, 0x1B}},
      {"g0", {0x00}},
      {"0g", {0x00}},
      {"zZ", {0x00}},
      {"fF", {0xFF}},
      {"ABC", {0xAB}},  // an odd last digit is ignored
      {"", {}},
      {"0123456789abcdefABCDEF00", {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF, 0x00}},
      {"1 2:", {0x10, 0x20}},
  };
  for (const auto& c : cases) EXPECT_EQ(TlumHTTPServerAPI::DecodeHash(c.text), c.bytes) << c.text;
}

// ---------------------------------------------------------------------------------------
// The pool on its own port

class RecordingPool final : public TlumThreadPool {
 public:
  RecordingPool(int aThreads, std::function<void(TlumHTTPAPIContext*)> aBody = {})
      : TlumThreadPool(INVALID_HANDLE_VALUE, nullptr, aThreads), FBody(std::move(aBody)) {
    StartWorkers();
  }
  ~RecordingPool() override { StopWorkers(); }
  void Stop() { StopWorkers(); }

  void DoProcess(TlumThreadPool_Thread&, DWORD, TlumHTTPAPIContext* aContext) override {
    struct Free {
      TlumHTTPAPIContext* c;
      ~Free() { FreeHTTPAPIContext(c); }
    } release{aContext};
    {
      std::lock_guard guard(lock);
      ids.insert(std::this_thread::get_id());
    }
    if (FBody) FBody(aContext);
    ++processed;
  }

  std::mutex lock;
  std::set<std::thread::id> ids;
  std::atomic<int> processed{0};

 private:
  std::function<void(TlumHTTPAPIContext*)> FBody;
};

TEST(ThreadPool, ZeroThreadsRunOneWorker) {
  const long base = LiveHTTPAPIContexts();
  RecordingPool pool(0);
  EXPECT_EQ(pool.ThreadCount(), 1);
  ASSERT_NE(pool.IOCompletition(), nullptr);
  for (int i = 0; i < 50; ++i) Post(pool.IOCompletition(), NewHTTPAPIContext(mthSendHttpResponse));
  ASSERT_TRUE(WaitUntil([&] { return pool.processed == 50; }));
  EXPECT_EQ(pool.ids.size(), 1u);
  pool.Stop();
  EXPECT_EQ(LiveHTTPAPIContexts(), base);
}

TEST(ThreadPool, StopPostsOnePacketPerWorkerAndEveryWorkerEndsAtOnce) {
  for (const int workers : {1, 4, 9}) {
    SCOPED_TRACE(workers);
    std::atomic<int> inside{0};
    std::atomic<bool> allMet{false};
    RecordingPool pool(workers, [&](TlumHTTPAPIContext*) {
      // Every worker must be inside at once: proves `workers` distinct threads.
      ++inside;
      if (WaitUntil([&] { return inside.load() >= workers; }, 5s)) allMet = true;
    });
    for (int i = 0; i < workers; ++i) Post(pool.IOCompletition(), NewHTTPAPIContext(mthSendHttpResponse));
    ASSERT_TRUE(WaitUntil([&] { return pool.processed == workers; }));
    EXPECT_TRUE(allMet);
    EXPECT_EQ(pool.ids.size(), static_cast<std::size_t>(workers));
    // A worker without its own stop packet would sit out the 10 s wait on the port.
    const auto start = Clock::now();
    pool.Stop();
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_EQ(pool.IOCompletition(), nullptr);
  }
}

TEST(ThreadPool, FailedCompletionIsReleasedWithItsChunkNotProcessed) {
  const long base = LiveHTTPAPIContexts();
  RecordingPool pool(2);
  auto* connection = new TestConnection;
  for (THTTPAPIMethods method : {mthReceiveRequestEntityBody, mthSendResponseEntityBody, mthWaitForDisconnect}) {
    TlumHTTPAPIContext* context = NewHTTPAPIContext(method, connection);
    context->datachunk = new HTTP_DATA_CHUNK{};
    PostFailed(pool.IOCompletition(), context, ERROR_OPERATION_ABORTED);
  }
  EXPECT_TRUE(WaitUntil([&] { return LiveHTTPAPIContexts() == base; }));
  EXPECT_EQ(connection->RefCount(), 1) << "each released context gave its reference back";
  EXPECT_EQ(connection->reads, 0);
  EXPECT_EQ(pool.processed, 0);
  connection->Release();
  EXPECT_EQ(TestConnection::alive, 0);
}

struct NotAnException {};

TEST(ThreadPool, AWorkerSurvivesWhateverIsThrown) {
  const struct {
    const char* name;
    std::function<void()> raise;
  } cases[] = {
      {"std::exception", [] { throw std::runtime_error("boom"); }},
      {"int", [] { throw 42; }},
      {"plain struct", [] { throw NotAnException{}; }},
      {"C string", [] { throw "boom"; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const long base = LiveHTTPAPIContexts();
    std::atomic<int> calls{0};
    RecordingPool pool(1, [&](TlumHTTPAPIContext*) {
      if (++calls <= 2) c.raise();
    });
    for (int i = 0; i < 3; ++i) Post(pool.IOCompletition(), NewHTTPAPIContext(mthSendHttpResponse));
    EXPECT_TRUE(WaitUntil([&] { return calls == 3; }));
    EXPECT_EQ(pool.processed, 1) << "only the one that did not throw ran to its end";
    EXPECT_EQ(pool.ids.size(), 1u) << "the same single worker took all three";
    pool.Stop();
    EXPECT_EQ(LiveHTTPAPIContexts(), base);
  }
}

// ---------------------------------------------------------------------------------------
// Dispatch by kind through a server's pool (no receive thread: contexts posted by hand)

class Dispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = LiveHTTPAPIContexts();
    server_ = std::make_unique<TlumHTTPServerAPI>(true, 2);
    server_->OnConnect = [this](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) {
      Record("connect", c);
      if (throwIn_ == "connect") throw std::runtime_error("connect failed");
      if (throwIn_ == "connect-int") throw 7;
    };
    server_->OnDisconnect = [this](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) {
      Record("disconnect", c);
      if (throwIn_ == "disconnect") throw std::runtime_error("disconnect failed");
      if (throwIn_ == "disconnect-int") throw 7;
    };
    port_ = server_->ThreadPool()->IOCompletition();
  }
  void TearDown() override {
    server_.reset();
    EXPECT_EQ(LiveHTTPAPIContexts(), base_);
    EXPECT_EQ(TestConnection::alive, 0);
  }
  void Record(const char* what, TlumHTTPAPIContext& c) {
    std::lock_guard guard(lock_);
    events_.push_back(std::string(what) + ":" + std::to_string(c.method));
  }
  std::vector<std::string> Events() {
    std::lock_guard guard(lock_);
    return events_;
  }
  bool Settled() { return WaitUntil([&] { return LiveHTTPAPIContexts() == base_; }); }

  long base_ = 0;
  std::unique_ptr<TlumHTTPServerAPI> server_;
  HANDLE port_ = nullptr;
  std::mutex lock_;
  std::vector<std::string> events_;
  std::string throwIn_;
};

TEST_F(Dispatch, EveryKindIsHandledAndReleasedOnce) {
  const struct {
    THTTPAPIMethods method;
    bool withConnection;
    bool listed;
    std::vector<std::string> events;
  } cases[] = {
      {mthReceiveHttpRequest, false, true, {"connect:1"}},
      {mthReceiveHttpRequest, true, true, {}},  // already has its connection: not dispatched again
      {mthSendHttpResponse, true, false, {}},
      {mthReceiveRequestEntityBody, true, false, {}},
      {mthReceiveRequestEntityBody, false, false, {}},
      {mthSendResponseEntityBody, true, false, {}},
      {mthSendDisconnect, true, false, {"disconnect:5"}},
      {mthWaitForDisconnect, true, false, {"disconnect:6"}},
      {mthCancelHttpRequest, false, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "method " << int(c.method) << " connection " << c.withConnection);
    events_.clear();
    auto* connection = c.withConnection ? new TestConnection : nullptr;
    TlumHTTPAPIContext* context = NewHTTPAPIContext(c.method, connection);
    context->datachunk = new HTTP_DATA_CHUNK{};
    context->payload = std::make_shared<std::string>("bytes a send points into");
    if (c.listed) server_->AddContext(context);
    Post(port_, context, 77);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(Events(), c.events);
    EXPECT_EQ(server_->ContextCount(), 0);
    if (connection != nullptr) {
      EXPECT_EQ(connection->RefCount(), 1);
      const bool isRead = c.method == mthReceiveRequestEntityBody;
      EXPECT_EQ(connection->reads, isRead ? 1 : 0);
      if (isRead) {
        EXPECT_EQ(connection->lastRead, 77u);
      }
      connection->Release();
    }
  }
}

TEST_F(Dispatch, ErrorsInsideHandlersStillReleaseEachContextOnce) {
  // Two workers for forty packets: a worker lost to a throw would leave packets unhandled.
  for (const char* where : {"connect", "disconnect", "connect-int", "disconnect-int"}) {
    throwIn_ = where;
    for (int i = 0; i < 20; ++i) {
      TlumHTTPAPIContext* receive = NewHTTPAPIContext(mthReceiveHttpRequest);
      server_->AddContext(receive);
      Post(port_, receive);
      Post(port_, OnNewConnection(mthWaitForDisconnect));
    }
    ASSERT_TRUE(WaitUntil([&] { return Events().size() >= 40; }));
    EXPECT_TRUE(Settled());
    EXPECT_EQ(server_->ContextCount(), 0);
    events_.clear();
  }
}

TEST_F(Dispatch, ConnectionsOutliveTheirOutstandingContexts) {
  auto* connection = new TestConnection;
  TlumHTTPAPIContext* read = NewHTTPAPIContext(mthReceiveRequestEntityBody, connection);
  TlumHTTPAPIContext* wait = NewHTTPAPIContext(mthWaitForDisconnect, connection);
  EXPECT_EQ(connection->RefCount(), 3);
  connection->Release();  // the owner lets go while both operations are outstanding
  EXPECT_EQ(TestConnection::alive, 1);
  Post(port_, read, 5);
  Post(port_, wait);
  EXPECT_TRUE(Settled());
  EXPECT_EQ(TestConnection::alive, 0);
}

// A connection that notices when two of its completions run at once.
class SerialConnection : public TestConnection {
 public:
  void DoReadData(DWORD aBytesReceived) override {
    Enter();
    TestConnection::DoReadData(aBytesReceived);
    Leave();
  }
  void Enter() {
    if (++inside > 1) ++overlaps;
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  void Leave() { --inside; }
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> readsAtDisconnect{-1};
};

TEST_F(Dispatch, OneConnectionsCompletionsRunOneAtATimeAndTheDisconnectLast) {
  server_ = std::make_unique<TlumHTTPServerAPI>(true, 4);
  port_ = server_->ThreadPool()->IOCompletition();
  server_->OnDisconnect = [](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) {
    auto* s = static_cast<SerialConnection*>(c.connection);
    s->Enter();
    s->readsAtDisconnect = s->reads.load();
    s->Leave();
  };
  constexpr int kReads = 40;
  for (int round = 0; round < 5; ++round) {
    auto* connection = new SerialConnection;
    // As the engine delivers them: reads with sends completing in between, then the end.
    for (int i = 0; i < kReads; ++i) {
      Post(port_, NewHTTPAPIContext(mthReceiveRequestEntityBody, connection), 10);
      Post(port_, NewHTTPAPIContext(mthSendResponseEntityBody, connection));
    }
    Post(port_, NewHTTPAPIContext(mthWaitForDisconnect, connection));
    ASSERT_TRUE(Settled());
    EXPECT_EQ(connection->overlaps, 0);
    EXPECT_EQ(connection->reads, kReads);
    EXPECT_EQ(connection->readsAtDisconnect, kReads) << "the disconnect came before a read";
    EXPECT_EQ(connection->RefCount(), 1);
    connection->Release();
  }
}

TEST_F(Dispatch, ADisconnectWaitsForTheReceiveStillOutstanding) {
  server_->OnDisconnect = [this](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) {
    Record(static_cast<TestConnection*>(c.connection)->reads ? "disconnect after read"
                                                             : "disconnect",
           c);
  };
  const struct {
    const char* name;
    bool fails;  // the outstanding receive ends in an error rather than with bytes
    THTTPAPIMethods end;
    std::vector<std::string> events;
  } cases[] = {
      {"bytes, then the wait", false, mthWaitForDisconnect, {"disconnect after read:6"}},
      {"failure, then the wait", true, mthWaitForDisconnect, {"disconnect:6"}},
      {"bytes, then the disconnecting send", false, mthSendDisconnect, {"disconnect after read:5"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events_.clear();
    auto* connection = new TestConnection;
    // Posted by the reader, not yet completed when the end of the connection arrives.
    TlumHTTPAPIContext* receive = NewHTTPAPIContext(mthReceiveRequestEntityBody, connection);
    Post(port_, NewHTTPAPIContext(c.end, connection));
    ASSERT_TRUE(WaitUntil([&] { return LiveHTTPAPIContexts() == base_ + 2; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(Events().empty()) << "the end is held back while a receive is outstanding";
    if (c.fails) {
      PostFailed(port_, receive, ERROR_CONNECTION_INVALID);
    } else {
      Post(port_, receive, 3);
    }
    ASSERT_TRUE(Settled());
    EXPECT_EQ(Events(), c.events);
    EXPECT_EQ(connection->reads, c.fails ? 0 : 1);
    EXPECT_EQ(connection->RefCount(), 1);
    connection->Release();
  }
}

TEST_F(Dispatch, AsynchronousHandlerTakesOverEveryContext) {
  std::mutex taken;
  std::vector<TlumHTTPAPIContext*> contexts;
  server_->OnAsynchronous = [&](TlumHTTPServerAPI*, TlumHTTPAPIContext& c, bool& handled) {
    std::lock_guard guard(taken);
    contexts.push_back(&c);
    handled = true;
  };
  TlumHTTPAPIContext* receive = NewHTTPAPIContext(mthReceiveHttpRequest);
  server_->AddContext(receive);
  Post(port_, receive);
  for (THTTPAPIMethods m : {mthSendHttpResponse, mthReceiveRequestEntityBody, mthSendResponseEntityBody,
                            mthSendDisconnect, mthWaitForDisconnect, mthCancelHttpRequest})
    Post(port_, OnNewConnection(m));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard guard(taken);
    return contexts.size() == 7;
  }));
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(Events().empty()) << "nothing processed";
  EXPECT_EQ(LiveHTTPAPIContexts(), base_ + 7) << "nothing released";
  EXPECT_EQ(server_->ContextCount(), 1);
  for (TlumHTTPAPIContext* c : contexts) {
    if (c->method == mthReceiveHttpRequest) {
      EXPECT_TRUE(server_->RemoveContext(c));
    } else {
      FreeHTTPAPIContext(c);
    }
  }
}

TEST_F(Dispatch, AThrowingAsynchronousHandlerHasNotTakenTheContext) {
  server_->OnAsynchronous = [](TlumHTTPServerAPI*, TlumHTTPAPIContext&, bool& handled) {
    handled = true;
    throw std::runtime_error("handler failed");
  };
  TlumHTTPAPIContext* receive = NewHTTPAPIContext(mthReceiveHttpRequest);
  server_->AddContext(receive);
  Post(port_, receive);
  Post(port_, NewHTTPAPIContext(mthSendHttpResponse));
  EXPECT_TRUE(Settled());
  EXPECT_EQ(server_->ContextCount(), 0);
  EXPECT_TRUE(Events().empty());
}

TEST_F(Dispatch, UnknownKindsAreLeftAlone) {
  // One worker, so that the packet behind proves the first one has been looked at.
  server_ = std::make_unique<TlumHTTPServerAPI>(true, 1);
  port_ = server_->ThreadPool()->IOCompletition();
  TlumHTTPAPIContext* unknown = NewHTTPAPIContext(mthUnknown);
  Post(port_, unknown);
  // A second, known packet behind it: once that is gone, the worker has passed the first.
  Post(port_, NewHTTPAPIContext(mthCancelHttpRequest));
  ASSERT_TRUE(WaitUntil([&] { return LiveHTTPAPIContexts() == base_ + 1; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(LiveHTTPAPIContexts(), base_ + 1);
  FreeHTTPAPIContext(unknown);
}

// ---------------------------------------------------------------------------------------
// The host with real loopback clients

using loopback::FreePort;

// A keep-alive HTTP/1.1 client over one socket; every call is bounded by the socket timeout.
class Client : public loopback::Client {
 public:
  using loopback::Client::Client;
  std::string Get(const std::string& path, std::string* body = nullptr) {
    if (!Send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) return {};
    return ReadResponse(body);
  }
};

// Answers a request with a status and a body, whole (the connection stays open).
void Answer(TlumHTTPAPIContext& c, int code, const std::string& body) {
  HTTP_RESPONSE_V2 r{};
  r.Version = {1, 1};
  std::string reason;
  SetStatus(r, code, reason);
  HTTP_DATA_CHUNK chunk{};
  const std::string type = "text/plain";
  SetBody(r, chunk, body, type);
  HttpSendHttpResponse(c.reqqueue, c.request->RequestId, 0, &r, nullptr, nullptr, nullptr, 0,
                       nullptr, nullptr);
}

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = LiveHTTPAPIContexts();
    port_ = FreePort();
    prefix_ = "http://127.0.0.1:" + std::to_string(port_) + "/";
  }
  void TearDown() override { EXPECT_EQ(LiveHTTPAPIContexts(), base_) << "leaked contexts"; }
  // A suspended server that answers every request 200 with its decoded path.
  std::unique_ptr<TlumHTTPServerAPI> Make(int threads = 4) {
    auto server = std::make_unique<TlumHTTPServerAPI>(true, threads);
    server->OnConnect = [](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) {
      const THttpServerRequest info = GetHttpServerRequest(*c.request, c.reqqueue, c.request->RequestId);
      Answer(c, 200, info.Document);
    };
    return server;
  }

  long base_ = 0;
  int port_ = 0;
  std::string prefix_;
};

TEST_F(Host, StartupBeforeTheFirstRequestAndShutdownLast) {
  std::mutex lock;
  std::vector<std::string> log;
  auto note = [&](std::string s) {
    std::lock_guard guard(lock);
    log.push_back(std::move(s));
  };
  {
    auto server = std::make_unique<TlumHTTPServerAPI>(true, 2);
    server->OnStartup = [&](TlumHTTPServerAPI*) { note("startup"); };
    server->OnShutdown = [&](TlumHTTPServerAPI*) { note("shutdown"); };
    server->OnConnect = [&](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) {
      note("connect");
      const THttpServerRequest info = GetHttpServerRequest(*c.request, c.reqqueue, c.request->RequestId);
      Answer(c, 200, info.Document + "|" + info.QueryParams);
    };
    ASSERT_EQ(server->AddUrl(prefix_), 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(log.empty()) << "a suspended server does not run";
    server->Start();
    Client client(port_);
    std::string body;
    EXPECT_EQ(client.Get("/hello%20x?q=%41", &body).rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(body, "/hello x|q=A");
    // Idle, the posted receives wait on the queue, each a listed context.
    EXPECT_TRUE(WaitUntil([&] { return server->ContextCount() == TlumHTTPServerAPI::PostedReceives; }));
  }
  EXPECT_EQ(log, (std::vector<std::string>{"startup", "connect", "shutdown"}));
}

TEST_F(Host, NotSuspendedRunsFromConstruction) {
  std::atomic<bool> started{false};
  TlumHTTPServerAPI server(false, 1);
  EXPECT_TRUE(WaitUntil([&] { return server.ContextCount() == TlumHTTPServerAPI::PostedReceives; }));
  server.OnStartup = [&](TlumHTTPServerAPI*) { started = true; };  // too late: already running
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(started);
}

TEST_F(Host, BasicAuthenticationSetBeforeStartReachesTheFirstRequest) {
  auto server = std::make_unique<TlumHTTPServerAPI>(true, 1);
  std::atomic<int> authType{-1};
  server->OnConnect = [&](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) {
    for (USHORT i = 0; i < c.request->RequestInfoCount; ++i) {
      const HTTP_REQUEST_INFO& info = c.request->pRequestInfo[i];
      if (info.InfoType == HttpRequestInfoTypeAuth)
        authType = static_cast<const HTTP_REQUEST_AUTH_INFO*>(info.pInfo)->AuthType;
    }
    Answer(c, 200, "ok");
  };
  server->SetBasicAuthentication(true);
  ASSERT_EQ(server->AddUrl(prefix_), 0);
  server->Start();
  Client client(port_);
  ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: x\r\nAuthorization: Basic dXNlcjpwYXNz\r\n\r\n"));
  EXPECT_EQ(client.ReadResponse().rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(authType, HttpRequestAuthTypeBasic);
}

TEST_F(Host, ARequestBiggerThanTheReadBufferIsStillDispatched) {
  auto server = Make();
  std::atomic<std::size_t> seen{0};
  server->OnConnect = [&](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) {
    const HTTP_REQUEST_V2& r = *c.request;
    for (USHORT i = 0; i < r.Headers.UnknownHeaderCount; ++i)
      if (std::string(r.Headers.pUnknownHeaders[i].pName, r.Headers.pUnknownHeaders[i].NameLength) == "X-Big")
        seen = r.Headers.pUnknownHeaders[i].RawValueLength;
    Answer(c, 200, "big");
  };
  server->SetReadBufferSize(256);
  ASSERT_EQ(server->AddUrl(prefix_), 0);
  server->Start();
  Client client(port_);
  ASSERT_TRUE(client.Send("GET /b HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(3000, 'b') + "\r\n\r\n"));
  std::string body;
  EXPECT_EQ(client.ReadResponse(&body).rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(body, "big");
  EXPECT_EQ(seen, 3000u);
  // Small ones on the same connection keep working.
  EXPECT_EQ(client.Get("/small", &body).rfind("HTTP/1.1 200", 0), 0u);
}

TEST_F(Host, MoreClientsAtOnceThanPostedReceivesWithRequestsBiggerThanTheirBuffers) {
  // Twice as many clients as posted receives, each request too big for a posted buffer: every
  // receive is replaced while its own request is received again, and none is lost.
  auto server = Make(2);
  server->SetReadBufferSize(256);
  ASSERT_EQ(server->AddUrl(prefix_), 0);
  server->Start();
  constexpr int kClients = 2 * TlumHTTPServerAPI::PostedReceives;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<Client>(port_));
  for (int i = 0; i < kClients; ++i)
    ASSERT_TRUE(clients[i]->Send("GET /big/" + std::to_string(i) + " HTTP/1.1\r\nHost: x\r\nX-Big: " +
                                 std::string(2000, 'b') + "\r\n\r\n"));
  for (int i = 0; i < kClients; ++i) {
    std::string body;
    EXPECT_EQ(clients[i]->ReadResponse(&body).rfind("HTTP/1.1 200", 0), 0u) << i;
    EXPECT_EQ(body, "/big/" + std::to_string(i));
    EXPECT_EQ(clients[i]->Get("/small", &body).rfind("HTTP/1.1 200", 0), 0u) << i;
  }
  EXPECT_TRUE(WaitUntil([&] { return server->ContextCount() == TlumHTTPServerAPI::PostedReceives; }));
}

TEST_F(Host, UrlsAddRemoveAndAreFreeAgainForTheNextServer) {
  {
    auto server = Make();
    server->Start();
    ASSERT_EQ(server->AddUrl(prefix_), 0);
    try {
      server->AddUrl(prefix_);
      ADD_FAILURE() << "a second registration must fail";
    } catch (const TlumWSException& e) {
      EXPECT_STREQ(e.what(), "Cannot create a file when that file already exists.");
    }
    EXPECT_EQ(Client(port_).Get("/a").rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(server->RemoveUrl(prefix_), 0);
    EXPECT_NE(Client(port_).Get("/a").rfind("HTTP/1.1 200", 0), 0u);
    ASSERT_EQ(server->AddUrl(prefix_), 0);
  }
  auto again = Make();
  again->Start();
  ASSERT_EQ(again->AddUrl(prefix_), 0) << "the previous server released its prefix";
  EXPECT_EQ(Client(port_).Get("/b").rfind("HTTP/1.1 200", 0), 0u);
}

TEST_F(Host, ConnectionLimitOnTheUrlGroup) {
  const struct {
    int limit;
    bool secondServed;
  } cases[] = {{0, true}, {1, false}, {2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    port_ = FreePort();
    prefix_ = "http://127.0.0.1:" + std::to_string(port_) + "/";
    auto server = Make();
    server->SetMaxConnections(c.limit);
    ASSERT_EQ(server->AddUrl(prefix_), 0);
    server->Start();
    Client first(port_);
    ASSERT_EQ(first.Get("/1").rfind("HTTP/1.1 200", 0), 0u);  // stays open (keep-alive)
    Client second(port_);
    const std::string reply = second.Get("/2");
    if (c.secondServed)
      EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
    else
      EXPECT_EQ(reply.rfind("HTTP/1.1 503", 0), 0u) << reply;
  }
}

TEST_F(Host, BandwidthLimitOnTheUrlGroup) {
  // 500 means the least the API allows, 1024 bytes/s: a 4 KiB answer takes seconds, not 8.
  const struct {
    int value;
    std::chrono::milliseconds atLeast, below;
  } cases[] = {{0, 0ms, 1000ms}, {500, 1500ms, 6000ms}};
  const std::string payload(4096, 'x');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    port_ = FreePort();
    prefix_ = "http://127.0.0.1:" + std::to_string(port_) + "/";
    auto server = Make();
    server->OnConnect = [&](TlumHTTPServerAPI*, TlumHTTPAPIContext& ctx) { Answer(ctx, 200, payload); };
    server->SetMaxBandwidth(c.value);
    ASSERT_EQ(server->AddUrl(prefix_), 0);
    server->Start();
    Client client(port_);
    const auto start = Clock::now();
    std::string body;
    EXPECT_EQ(client.Get("/", &body).rfind("HTTP/1.1 200", 0), 0u);
    const auto took = Clock::now() - start;
    EXPECT_EQ(body.size(), payload.size());
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.below);
  }
}

TEST_F(Host, LimitsNeedAUrlGroupAndBandwidthBelowTheMinimumIsRaised) {
  auto server = Make();
  // Values the API would refuse are mapped before they get there.
  EXPECT_NO_THROW(server->SetMaxBandwidth(1));
  EXPECT_NO_THROW(server->SetMaxBandwidth(-5));
  EXPECT_NO_THROW(server->SetMaxBandwidth(0));
  EXPECT_NO_THROW(server->SetMaxConnections(0));
  EXPECT_NO_THROW(server->SetTimeouts(5, 5, 5, 5, 5, 150));
}

TEST_F(Host, LogFolderLengthRule) {
  char pattern[] = "/tmp/h5-log-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  // A folder of `length` characters made of `unit`, in components short enough for the file
  // system.
  auto folderOf = [&](std::size_t length, const std::string& unit = "d") {
    std::string f = root + "/";
    std::size_t count = f.size(), inComponent = 0;
    while (count < length) {
      if (inComponent == 60) {
        f += '/';
        inComponent = 0;
      } else {
        f += unit;
        ++inComponent;
      }
      ++count;
    }
    return f;
  };
  auto server = Make();
  const std::string ok = folderOf(212);
  std::filesystem::create_directories(ok);
  server->LogStart(ok, hltW3C, lumServerName, hlrDaily, 0, kAllHttpApiLogFields, HttpApiSetOf(hlfUseUTF8Conversion));
  EXPECT_NE(server->LogData(), nullptr) << "212 characters proceed";
  server->LogStop();
  EXPECT_EQ(server->LogData(), nullptr);

  const std::string tooLong = folderOf(213);
  try {
    server->LogStart(tooLong, hltW3C, lumServerName, hlrDaily, 0, kAllHttpApiLogFields, 0);
    ADD_FAILURE() << "213 characters must raise";
  } catch (const TlumWSException& e) {
    EXPECT_EQ(std::string(e.what()), "aLogFolder is too long for LogStart(" + tooLong + ")");
  }
  // Characters, not bytes: 212 two-byte characters are still 212.
  const std::string wide = folderOf(212, "\xC3\xA9");
  std::filesystem::create_directories(wide);
  EXPECT_NO_THROW(server->LogStart(wide, hltW3C, lumServerName, hlrDaily, 0, kAllHttpApiLogFields, 0));
  EXPECT_NE(server->LogData(), nullptr);
  try {
    server->LogStart("", hltW3C, lumServerName, hlrDaily, 0, kAllHttpApiLogFields, 0);
    ADD_FAILURE() << "an empty folder must raise";
  } catch (const TlumWSException& e) {
    EXPECT_STREQ(e.what(), "LogStart(aLogFolder=\"\")");
  }
  EXPECT_EQ(server->LogData(), nullptr);
  // A refusal of the API leaves logging off without raising.
  EXPECT_NO_THROW(server->LogStart(ok, hltIIS, lumServerName, hlrDaily, 0, kAllHttpApiLogFields, 0));
  EXPECT_EQ(server->LogData(), nullptr);
  server.reset();
  std::filesystem::remove_all(root);
}

TEST_F(Host, LoggedRequestsReachTheLogFolder) {
  char pattern[] = "/tmp/h5-w3c-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = std::string(pattern) + "/";
  {
    auto server = Make();
    server->OnConnect = [](TlumHTTPServerAPI* s, TlumHTTPAPIContext& c) {
      HTTP_RESPONSE_V2 r{};
      r.Version = {1, 1};
      std::string reason;
      SetStatus(r, 200, reason);
      HttpSendHttpResponse(c.reqqueue, c.request->RequestId, 0, &r, nullptr, nullptr, nullptr, 0,
                           nullptr, s->LogData());
    };
    server->LogStart(folder, hltW3C, lumServerName, hlrDaily, 0, kAllHttpApiLogFields, 0);
    ASSERT_NE(server->LogData(), nullptr);
    ASSERT_EQ(server->AddUrl(prefix_), 0);
    server->Start();
    EXPECT_EQ(Client(port_).Get("/logged-path").rfind("HTTP/1.1 200", 0), 0u);
  }
  std::string all;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::FILE* f = std::fopen(entry.path().c_str(), "rb");
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) all.append(buf, n);
    std::fclose(f);
  }
  EXPECT_NE(all.find("/logged-path"), std::string::npos) << all;
  EXPECT_NE(all.find(lumServerName), std::string::npos) << all;
  std::filesystem::remove_all(pattern);
}

// ---------------------------------------------------------------------------------------
// TLS certificate bindings

// Thumbprint of the certificate served on the port, after one whole request over TLS (so that
// the server is done writing before the client goes). `reply` gets the answer.
std::string PeerThumbprint(int port, std::string* reply) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{10, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string hex;
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, s);
    if (SSL_connect(ssl) == 1) {
      if (X509* cert = SSL_get1_peer_certificate(ssl)) {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        X509_digest(cert, EVP_sha1(), md, &len);
        static const char* digits = "0123456789ABCDEF";
        for (unsigned i = 0; i < len; ++i) {
          hex += digits[md[i] >> 4];
          hex += digits[md[i] & 15];
        }
        X509_free(cert);
      }
      const std::string request = "GET /tls HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
      SSL_write(ssl, request.data(), static_cast<int>(request.size()));
      char buf[4096];
      int n;
      while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) reply->append(buf, static_cast<std::size_t>(n));
    }
    SSL_free(ssl);
  }
  close(s);
  SSL_CTX_free(ctx);
  return hex;
}

void DeleteBinding(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  HTTP_SERVICE_CONFIG_SSL_SET config{};
  config.KeyDesc.pIpPort = reinterpret_cast<PSOCKADDR>(&address);
  HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &config, sizeof config, nullptr);
}

TEST_F(Host, SslBindingErrors) {
  auto server = Make();
  try {
    server->ConfigureSSLCert("0.0.0.0", port_, "", "");
    ADD_FAILURE() << "an empty hash must raise";
  } catch (const TlumWSException& e) {
    EXPECT_STREQ(e.what(), "Error SSL Hash not found.");
  }
  EXPECT_THROW(server->ConfigureSSLCert("localhost", port_, "00", ""), TlumWSException);
  EXPECT_THROW(server->ConfigureSSLCert("0.0.0.0", 70000, "00", ""), TlumWSException);
}

TEST_F(Host, SecondBindingForTheSamePortReplacesTheFirst) {
  char pattern[] = "/tmp/h5-store-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string store = pattern;
  platform::SelfSignedOptions options;
  options.keyType = platform::CertKeyType::EcP256;
  const std::string first = platform::CreateSelfSignedCertificate(store, "127.0.0.1", options);
  const std::string second = platform::CreateSelfSignedCertificate(store, "127.0.0.1", options);
  ASSERT_NE(first, second);
  {
    auto server = Make();
    server->ConfigureSSLCert("0.0.0.0", port_, first, store);
    // Lower case works as well as upper case.
    std::string lower = second;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_NO_THROW(server->ConfigureSSLCert("0.0.0.0", port_, lower, store));
    ASSERT_EQ(server->AddUrl("https://127.0.0.1:" + std::to_string(port_) + "/"), 0);
    server->Start();
    std::string reply;
    EXPECT_EQ(PeerThumbprint(port_, &reply), second);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
    EXPECT_NE(reply.find("/tls"), std::string::npos) << reply;
  }
  DeleteBinding(port_);
  std::filesystem::remove_all(store);
}

// ---------------------------------------------------------------------------------------
// Load and shutdown

TEST_F(Host, TenThousandRequestsThroughPostedReceivesAndPool) {
  constexpr int kRequests = 10000;
  constexpr int kClients = 8;
  auto server = Make(4);
  std::atomic<int> dispatched{0};
  server->OnConnect = [&](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) {
    ++dispatched;
    const THttpServerRequest info = GetHttpServerRequest(*c.request, c.reqqueue, c.request->RequestId);
    Answer(c, 200, info.Document);
  };
  ASSERT_EQ(server->AddUrl(prefix_), 0);
  server->Start();

  std::atomic<int> next{0}, ok{0}, failed{0};
  const auto deadline = Clock::now() + 60s;
  std::vector<std::thread> clients;
  for (int t = 0; t < kClients; ++t) {
    clients.emplace_back([&] {
      auto client = std::make_unique<Client>(port_);
      int n;
      while ((n = next++) < kRequests && Clock::now() < deadline) {
        std::string body;
        const std::string path = "/r/" + std::to_string(n);
        std::string head = client->Get(path, &body);
        if (head.empty()) {  // reconnect once: the server may close an idle connection
          client = std::make_unique<Client>(port_);
          head = client->Get(path, &body);
        }
        if (head.rfind("HTTP/1.1 200", 0) == 0 && body == path)
          ++ok;
        else
          ++failed;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(ok, kRequests);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(dispatched, kRequests);
  // Every dispatched context has left the list; only the posted receives remain.
  EXPECT_TRUE(WaitUntil([&] { return server->ContextCount() == TlumHTTPServerAPI::PostedReceives; }));
  server.reset();
}

TEST_F(Host, DestroyedWhileRequestsAreInFlight) {
  for (int round = 0; round < 3; ++round) {
    auto server = Make(3);
    server->OnConnect = [](TlumHTTPServerAPI*, TlumHTTPAPIContext& c) {
      std::this_thread::sleep_for(2ms);
      Answer(c, 200, "slow");
    };
    ASSERT_EQ(server->AddUrl(prefix_), 0);
    server->Start();
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t) {
      clients.emplace_back([&] {
        while (!stop) {
          Client client(port_);
          if (client.Get("/x").rfind("HTTP/1.1 200", 0) == 0) ++answered;
        }
      });
    }
    WaitUntil([&] { return answered > 20; });
    const auto start = Clock::now();
    server.reset();  // receive thread, pool and contexts go while clients keep coming
    EXPECT_LT(Clock::now() - start, 5s);
    stop = true;
    for (auto& t : clients) t.join();
    EXPECT_GT(answered, 0);
    EXPECT_EQ(LiveHTTPAPIContexts(), base_);
  }
}

}  // namespace
}  // namespace quillon
