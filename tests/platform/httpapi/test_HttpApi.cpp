// The engine through the API, the way the host drives it: a receiving thread, responses from
// the caller's thread, overlapped calls completing on a completion port; real sockets.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "HttpTestSupport.h"
#include "platform/httpapi/Engine.h"
#include "platform/httpapi/http.h"

namespace {

using namespace httptest;
using namespace std::chrono_literals;

std::string Text(PCSTR p, USHORT n) { return p ? std::string(p, n) : std::string(); }

TEST(HttpApi, RequestRecordDescribesTheRequestInTheCallersBuffer) {
  Server server("/app/");
  ASSERT_FALSE(server.prefix.empty());
  Client client(server.port);
  ASSERT_TRUE(client.Send(
      "PROPFIND /app/a%20b/../c?x=%41 HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: t\r\n"
      "X-Custom:  v1 \r\nAccept: a\r\nAccept: b\r\n\r\n"));
  Received r = Receive(server.queue);
  ASSERT_EQ(r.rc, NO_ERROR);
  const HTTP_REQUEST_V2& q = *r.request;
  EXPECT_EQ(q.Verb, HttpVerbPROPFIND);
  EXPECT_EQ(Text(q.pRawUrl, q.RawUrlLength), "/app/a%20b/../c?x=%41");
  EXPECT_EQ(q.Version.MajorVersion, 1);
  EXPECT_EQ(q.Version.MinorVersion, 1);
  std::string full = Text(q.CookedUrl.pFullUrl, q.CookedUrl.FullUrlLength);
  EXPECT_EQ(full, "http://127.0.0.1:" + std::to_string(server.port) + "/app/c?x=%41");
  EXPECT_EQ(Text(q.CookedUrl.pAbsPath, q.CookedUrl.AbsPathLength), "/app/c");
  EXPECT_EQ(Text(q.CookedUrl.pQueryString, q.CookedUrl.QueryStringLength), "?x=%41");
  EXPECT_EQ(Text(q.CookedUrl.pHost, q.CookedUrl.HostLength),
            "127.0.0.1:" + std::to_string(server.port));
  const auto& known = q.Headers.KnownHeaders;
  EXPECT_EQ(Text(known[HttpHeaderUserAgent].pRawValue, known[HttpHeaderUserAgent].RawValueLength), "t");
  EXPECT_EQ(Text(known[HttpHeaderAccept].pRawValue, known[HttpHeaderAccept].RawValueLength), "a, b");
  ASSERT_EQ(q.Headers.UnknownHeaderCount, 1);
  EXPECT_EQ(Text(q.Headers.pUnknownHeaders[0].pName, q.Headers.pUnknownHeaders[0].NameLength),
            "X-Custom");
  EXPECT_EQ(Text(q.Headers.pUnknownHeaders[0].pRawValue,
                 q.Headers.pUnknownHeaders[0].RawValueLength), "v1");
  auto* remote = reinterpret_cast<sockaddr_in*>(q.Address.pRemoteAddress);
  auto* local = reinterpret_cast<sockaddr_in*>(q.Address.pLocalAddress);
  EXPECT_EQ(ntohl(remote->sin_addr.s_addr), INADDR_LOOPBACK);
  EXPECT_EQ(ntohs(local->sin_port), server.port);
  // Every pointer lies inside the caller's buffer.
  const char* begin = r.storage.data();
  const char* end = begin + r.storage.size();
  for (const void* p : {static_cast<const void*>(q.pRawUrl), static_cast<const void*>(q.CookedUrl.pFullUrl),
                        static_cast<const void*>(q.Address.pRemoteAddress),
                        static_cast<const void*>(q.Headers.pUnknownHeaders)}) {
    EXPECT_GE(static_cast<const char*>(p), begin);
    EXPECT_LT(static_cast<const char*>(p), end);
  }
  EXPECT_NE(q.RequestId, HTTP_NULL_ID);
  EXPECT_NE(q.ConnectionId, HTTP_NULL_ID);
  EXPECT_EQ(Respond(server.queue, q.RequestId, 200, "hello"), NO_ERROR);
  std::string response = client.ReadResponse();
  EXPECT_EQ(response.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_NE(response.find("Content-Length: 5\r\n"), std::string::npos);
  EXPECT_EQ(response.substr(response.size() - 5), "hello");
  // The answered request is gone; its id no longer works.
  EXPECT_EQ(Respond(server.queue, q.RequestId, 200, "again"), ERROR_CONNECTION_INVALID);
}

// Answers every request on `threads` threads until the queue closes; `handler` may do more.
class Responder {
 public:
  using Handler = std::function<void(HANDLE, HTTP_REQUEST_V2&)>;
  Responder(HANDLE queue, Handler handler, int threads = 1)
      : queue_(queue), handler_(std::move(handler)) {
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this] {
        for (;;) {
          Received r = Receive(queue_);
          // Shut down, or closed while this thread was busy: nothing more can arrive.
          if (r.rc == ERROR_OPERATION_ABORTED || r.rc == ERROR_INVALID_HANDLE) return;
          if (r.rc != NO_ERROR) continue;
          ++handled;
          handler_(queue_, *r.request);
        }
      });
    }
  }
  ~Responder() {
    HttpShutdownRequestQueue(queue_);
    for (std::thread& t : threads_) t.join();
  }
  std::atomic<int> handled{0};

 private:
  HANDLE queue_;
  Handler handler_;
  std::vector<std::thread> threads_;
};

void EchoPath(HANDLE queue, HTTP_REQUEST_V2& r) {
  Respond(queue, r.RequestId, 200, Text(r.CookedUrl.pAbsPath, r.CookedUrl.AbsPathLength));
}

std::string Body(const std::string& response) {
  std::size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}

// Reads a whole body the way the host does: synchronous reads that fill their buffer.
std::string ReadWholeBody(HANDLE queue, HTTP_REQUEST_ID id, std::size_t step = 64 * 1024) {
  std::string body;
  std::string buffer(step, '\0');
  for (;;) {
    ULONG n = 0;
    ULONG rc = HttpReceiveRequestEntityBody(queue, id, HTTP_RECEIVE_REQUEST_ENTITY_BODY_FLAG_FILL_BUFFER,
                                            buffer.data(), static_cast<ULONG>(step), &n, nullptr);
    body.append(buffer.data(), rc == NO_ERROR ? n : 0);
    if (rc != NO_ERROR || n == 0) return body;
  }
}

// Bytes with a pattern that shows a lost or repeated piece.
std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
  return s;
}

// IPv6 clients on an IPv6 literal and on a wildcard (which also keeps serving IPv4): the
// record carries sockaddr_in6 for them and sockaddr_in for IPv4 peers, never a mapped form.
TEST(HttpApi, Ipv6PeersOnLiteralAndWildcardPrefixes) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  for (const char* host : {"[::1]", "+"}) {
    SCOPED_TRACE(host);
    Server server("/v6/", "http", host);
    ASSERT_FALSE(server.prefix.empty());
    const std::string port = std::to_string(server.port);
    Client client(server.port, "::1");
    ASSERT_TRUE(client.connected());
    // HTTP/1.0 without a Host header: the cooked URL names the local address.
    ASSERT_TRUE(client.Send("GET /v6/x?q HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
    Received r = Receive(server.queue);
    ASSERT_EQ(r.rc, NO_ERROR);
    const HTTP_REQUEST_V2& q = *r.request;
    EXPECT_EQ(Text(q.CookedUrl.pFullUrl, q.CookedUrl.FullUrlLength),
              "http://[::1]:" + port + "/v6/x?q");
    for (PSOCKADDR address : {q.Address.pRemoteAddress, q.Address.pLocalAddress}) {
      ASSERT_EQ(address->sa_family, AF_INET6);
      sockaddr_in6 a;
      std::memcpy(&a, address, sizeof a);
      EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&a.sin6_addr));
    }
    sockaddr_in6 local;
    std::memcpy(&local, q.Address.pLocalAddress, sizeof local);
    EXPECT_EQ(ntohs(local.sin6_port), server.port);
    EXPECT_EQ(Respond(server.queue, q.RequestId, 200, "six"), NO_ERROR);
    EXPECT_EQ(Body(client.ReadResponse()), "six");

    Client v4(server.port, "127.0.0.1");
    if (std::string(host) == "[::1]") {
      EXPECT_FALSE(v4.connected());  // the literal is that address only
      continue;
    }
    ASSERT_TRUE(v4.connected());
    ASSERT_TRUE(v4.Send(Get("/v6/four")));
    Received r4 = Receive(server.queue);
    ASSERT_EQ(r4.rc, NO_ERROR);
    ASSERT_EQ(r4.request->Address.pRemoteAddress->sa_family, AF_INET);
    sockaddr_in remote;
    std::memcpy(&remote, r4.request->Address.pRemoteAddress, sizeof remote);
    EXPECT_EQ(ntohl(remote.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_EQ(r4.request->Address.pLocalAddress->sa_family, AF_INET);
    EXPECT_EQ(Respond(server.queue, r4.request->RequestId, 200, "four"), NO_ERROR);
    EXPECT_EQ(Body(v4.ReadResponse()), "four");
  }
}

TEST(HttpApi, KeepAliveAndPipelinedRequestsAreAnsweredInOrder) {
  Server server;
  Responder responder(server.queue, EchoPath);
  Client client(server.port);
  ASSERT_TRUE(client.Send(Get("/one") + Get("/two") + Get("/three")));
  EXPECT_EQ(Body(client.ReadResponse()), "/one");
  EXPECT_EQ(Body(client.ReadResponse()), "/two");
  EXPECT_EQ(Body(client.ReadResponse()), "/three");
  ASSERT_TRUE(client.Send(Get("/four")));  // the same connection stays usable
  EXPECT_EQ(Body(client.ReadResponse()), "/four");
  ASSERT_TRUE(client.Send(Get("/last", "Connection: close\r\n")));
  std::string last = client.ReadResponse();
  EXPECT_NE(last.find("Connection: close"), std::string::npos);
  EXPECT_TRUE(client.WaitClosed());
  // HTTP/1.0 closes unless it asks to stay.
  Client old(server.port);
  old.Send("GET /old HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Body(old.ReadResponse()), "/old");
  EXPECT_TRUE(old.WaitClosed());
}

TEST(HttpApi, TheEngineAnswersWhatItCannotHandUp) {
  Server server("/app/");
  Responder responder(server.queue, EchoPath);
  struct {
    std::string request;
    const char* statusLine;
    bool closes;
  } cases[] = {
      {Get("/elsewhere"), "HTTP/1.1 404 Not Found", false},
      {"GET /app/ HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      {"GET /app/ HTTP/2.0\r\nHost: a\r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported", true},
      {"GET /app/" + std::string(9000, 'x') + " HTTP/1.1\r\nHost: a\r\n\r\n",
       "HTTP/1.1 414 URI Too Long", true},
      {"GET /app/ HTTP/1.1\r\nHost: a\r\nX: " + std::string(20000, 'y') + "\r\n\r\n",
       "HTTP/1.1 431 Request Header Fields Too Large", true},
      {"GET /app/%zz HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      // Never ends a line: answered now, not at the header time-out.
      {std::string("<policy-file-request/>\0", 23), "HTTP/1.1 400 Bad Request", true},
      {"GET /app/../../etc/passwd HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      {"POST /app/ HTTP/1.1\r\nHost: a\r\nContent-Length: 99999999999999999999\r\n\r\n",
       "HTTP/1.1 413 Payload Too Large", true},
      {"POST /app/ HTTP/1.1\r\nHost: a\r\nExpect: magic\r\n\r\n",
       "HTTP/1.1 417 Expectation Failed", true},
      {"POST /app/ HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n\r\n",
       "HTTP/1.1 501 Not Implemented", true},
  };
  for (auto& c : cases) {
    Client client(server.port);
    client.Send(c.request);
    std::string response = client.ReadResponse();
    EXPECT_EQ(response.substr(0, response.find("\r\n")), c.statusLine) << c.request.substr(0, 40);
    EXPECT_EQ(client.WaitClosed(300ms), c.closes) << c.request.substr(0, 40);
  }
  EXPECT_EQ(responder.handled.load(), 0);  // nothing malformed reached the application
}

TEST(HttpApi, LongestPrefixWinsAcrossGroupsAndPrefixesComeAndGo) {
  Server outer("/");
  HTTP_URL_GROUP_ID inner = 0;
  HANDLE innerQueue = nullptr;
  ASSERT_EQ(HttpCreateUrlGroup(outer.session, &inner, 0), NO_ERROR);
  ASSERT_EQ(HttpCreateRequestQueue(HTTPAPI_VERSION_2, nullptr, nullptr, 0, &innerQueue), NO_ERROR);
  HTTP_BINDING_INFO binding{};
  binding.Flags.Present = 1;
  binding.RequestQueueHandle = innerQueue;
  ASSERT_EQ(HttpSetUrlGroupProperty(inner, HttpServerBindingProperty, &binding, sizeof binding), NO_ERROR);
  std::string innerPrefix = "http://+:" + std::to_string(outer.port) + "/API/v1/";
  ASSERT_EQ(HttpAddUrlToUrlGroup(inner, innerPrefix.c_str(), 0, 0), NO_ERROR);
  EXPECT_EQ(HttpAddUrlToUrlGroup(inner, innerPrefix.c_str(), 0, 0), ERROR_ALREADY_EXISTS);
  Responder a(outer.queue, [](HANDLE q, HTTP_REQUEST_V2& r) { Respond(q, r.RequestId, 200, "outer"); });
  Responder b(innerQueue, [](HANDLE q, HTTP_REQUEST_V2& r) { Respond(q, r.RequestId, 200, "inner"); });
  Client client(outer.port);
  client.Send(Get("/api/V1/x"));
  EXPECT_EQ(Body(client.ReadResponse()), "inner");
  client.Send(Get("/api/v2/x"));
  EXPECT_EQ(Body(client.ReadResponse()), "outer");
  ASSERT_EQ(HttpRemoveUrlFromUrlGroup(inner, innerPrefix.c_str(), 0), NO_ERROR);
  client.Send(Get("/api/v1/x"));
  EXPECT_EQ(Body(client.ReadResponse()), "outer");
  // The last prefix of a port gone: nobody listens there any more.
  ASSERT_EQ(HttpRemoveUrlFromUrlGroup(outer.group, outer.prefix.c_str(), 0), NO_ERROR);
  Client refused(outer.port);
  EXPECT_FALSE(refused.connected());
  HttpCloseUrlGroup(inner);
  CloseHandle(innerQueue);
}

TEST(HttpApi, TooSmallBufferKeepsTheRequestReceivable) {
  Server server;
  Client client(server.port);
  client.Send(Get("/small", "X-Pad: " + std::string(3000, 'p') + "\r\n"));
  std::string small(sizeof(HTTP_REQUEST_V2) + 64, '\0');
  auto* rec = reinterpret_cast<HTTP_REQUEST_V2*>(small.data());
  ULONG need = 0;
  ASSERT_EQ(HttpReceiveHttpRequest(server.queue, HTTP_NULL_ID, 0, rec, static_cast<ULONG>(small.size()),
                                   &need, nullptr), ERROR_MORE_DATA);
  EXPECT_GT(need, small.size());
  HTTP_REQUEST_ID id = rec->RequestId;
  ASSERT_NE(id, HTTP_NULL_ID);
  std::string big(need, '\0');
  auto* full = reinterpret_cast<HTTP_REQUEST_V2*>(big.data());
  ULONG got = 0;
  ASSERT_EQ(HttpReceiveHttpRequest(server.queue, id, 0, full, need, &got, nullptr), NO_ERROR);
  EXPECT_EQ(got, need);
  EXPECT_EQ(Text(full->pRawUrl, full->RawUrlLength), "/small");
  EXPECT_EQ(Respond(server.queue, id, 200, "ok"), NO_ERROR);
  EXPECT_EQ(Body(client.ReadResponse()), "ok");

  // A receiver that never grows its buffer is refused once, then the engine answers.
  client.Send(Get("/again", "X-Pad: " + std::string(3000, 'p') + "\r\n"));
  ASSERT_EQ(HttpReceiveHttpRequest(server.queue, HTTP_NULL_ID, 0, rec, static_cast<ULONG>(small.size()),
                                   &need, nullptr), ERROR_MORE_DATA);
  ASSERT_EQ(HttpReceiveHttpRequest(server.queue, HTTP_NULL_ID, 0, rec, static_cast<ULONG>(small.size()),
                                   &need, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(client.ReadResponse().substr(9, 3), "431");
}

TEST(HttpApi, BodiesArriveWholeDeChunkedAndEndWithEof) {
  Server server;
  std::vector<std::string> bodies;
  std::mutex lock;
  Responder responder(server.queue, [&](HANDLE q, HTTP_REQUEST_V2& r) {
    std::string body;
    char buf[7];  // small on purpose: many reads per body
    for (;;) {
      ULONG n = 0;
      ULONG rc = HttpReceiveRequestEntityBody(q, r.RequestId, 0, buf, sizeof buf, &n, nullptr);
      if (rc == ERROR_HANDLE_EOF) break;
      if (rc != NO_ERROR) {
        body += "<error " + std::to_string(rc) + ">";
        break;
      }
      body.append(buf, n);
    }
    {
      std::lock_guard g(lock);
      bodies.push_back(body);
    }
    Respond(q, r.RequestId, 200, body);
  });
  Client client(server.port);
  client.Send("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 11\r\n\r\nhello world");
  EXPECT_EQ(Body(client.ReadResponse()), "hello world");
  client.Send("POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
              "5\r\nhello\r\n1;x=y\r\n \r\n5\r\nworld\r\n0\r\n\r\n");
  EXPECT_EQ(Body(client.ReadResponse()), "hello world");
  // Expect: 100-continue gets its interim answer when the body is asked for.
  client.Send("PUT / HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\nExpect: 100-continue\r\n\r\n");
  EXPECT_EQ(client.Read(3000ms, "\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
  client.Send("data");
  EXPECT_EQ(Body(client.ReadResponse()), "data");
  // A client that sends half its body and stops sending: the half arrives, then EOF.
  Client half(server.port);
  half.Send("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 10\r\n\r\n12345");
  half.ShutdownWrite();
  EXPECT_EQ(Body(half.ReadResponse()), "12345");
}

// Twice as many clients trickling a body as there are workers: the workers stay free, because
// a body up to the hold bound is whole before any worker sees its request; and the time-out
// bounds the whole body, not the gap between two bytes.
TEST(HttpApi, TricklingBodiesHoldNoWorker) {
  Server server;
  server.SetTimeouts(/*headerWait*/ 30, /*idle*/ 30, /*entityBody*/ 2);
  constexpr int kWorkers = 2;
  Responder responder(server.queue, [](HANDLE q, HTTP_REQUEST_V2& r) {
    std::string body = ReadWholeBody(q, r.RequestId);
    Respond(q, r.RequestId, 200, "got " + std::to_string(body.size()));
  }, kWorkers);
  std::vector<std::unique_ptr<Client>> tricklers;
  for (int i = 0; i < 2 * kWorkers; ++i) {
    tricklers.push_back(std::make_unique<Client>(server.port));
    tricklers.back()->Send("POST /t HTTP/1.1\r\nHost: a\r\nContent-Length: 1000000\r\n\r\nx");
  }
  std::this_thread::sleep_for(200ms);
  Client other(server.port);
  other.Send(Get("/ok"));
  EXPECT_EQ(other.ReadResponse(3000ms).substr(0, 12), "HTTP/1.1 200");
  // One byte every 300 ms would restart a per-gap timer for ever; the body's deadline cuts it.
  Client& slow = *tricklers.front();
  bool closed = false;
  auto start = std::chrono::steady_clock::now();
  while (!closed && std::chrono::steady_clock::now() - start < 8s) {
    slow.Send("y");
    closed = slow.WaitClosed(300ms);
  }
  EXPECT_TRUE(closed);
  // A body that does arrive whole is answered whole.
  Client whole(server.port);
  std::string body = Pattern(300000);
  whole.Send("POST /w HTTP/1.1\r\nHost: a\r\nContent-Length: 300000\r\n\r\n" + body);
  EXPECT_EQ(Body(whole.ReadResponse(5000ms)), "got 300000");
}

// A large body sent at full speed arrives whole, past the hold bound and the read window.
TEST(HttpApi, LargeBodiesArriveWhole) {
  Server server;
  std::atomic<bool> same{false};
  constexpr std::size_t kSize = 40u << 20;
  const std::string body = Pattern(kSize);
  Responder responder(server.queue, [&](HANDLE q, HTTP_REQUEST_V2& r) {
    std::string got = ReadWholeBody(q, r.RequestId);
    same = got == body;
    Respond(q, r.RequestId, 200, std::to_string(got.size()));
  });
  for (const bool chunked : {false, true}) {
    same = false;
    Client client(server.port);
    std::thread sender([&] {
      if (!chunked) {
        client.Send("POST /big HTTP/1.1\r\nHost: a\r\nContent-Length: " + std::to_string(kSize) +
                    "\r\n\r\n" + body);
        return;
      }
      client.Send("POST /big HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n");
      constexpr std::size_t kPiece = 3u << 20;
      for (std::size_t at = 0; at < kSize; at += kPiece) {
        std::size_t n = std::min(kPiece, kSize - at);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", n);
        client.Send(size + body.substr(at, n) + "\r\n");
      }
      client.Send("0\r\n\r\n");
    });
    std::string response = client.ReadResponse(60000ms);
    sender.join();
    EXPECT_EQ(Body(response), std::to_string(kSize)) << (chunked ? "chunked" : "length");
    EXPECT_TRUE(same) << (chunked ? "chunked" : "length");
  }
}

TEST(HttpApi, UnreadBodiesAreSkippedBeforeTheNextRequest) {
  Server server;
  Responder responder(server.queue, EchoPath);
  Client client(server.port);
  client.Send("POST /a HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nXXXXX" + Get("/b") +
              "POST /c HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n" +
              Get("/d"));
  for (const char* path : {"/a", "/b", "/c", "/d"}) EXPECT_EQ(Body(client.ReadResponse()), path);
}

// A port and a thread that waits on it, as the host's worker pool does.
struct Port {
  HANDLE h = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  ~Port() { CloseHandle(h); }
  // Next packet: (ok, bytes, overlapped, error).
  std::tuple<BOOL, DWORD, LPOVERLAPPED, DWORD> Next(DWORD ms = 3000) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED ov = nullptr;
    BOOL ok = GetQueuedCompletionStatus(h, &bytes, &key, &ov, ms);
    return {ok, bytes, ov, ok ? 0 : GetLastError()};
  }
};

TEST(HttpApi, OverlappedCallsCompleteOnTheBoundPort) {
  Server server;
  // Queued at once, before its body: here the body read has to wait for the bytes.
  auto savedHold = quillon::platform::detail::g_bodyHoldLimit;
  quillon::platform::detail::g_bodyHoldLimit = 0;
  Port port;
  ASSERT_EQ(CreateIoCompletionPort(server.queue, port.h, 7, 0), port.h);
  std::string buffer(16384, '\0');
  auto* rec = reinterpret_cast<HTTP_REQUEST_V2*>(buffer.data());
  OVERLAPPED receive{};
  ASSERT_EQ(HttpReceiveHttpRequest(server.queue, HTTP_NULL_ID, 0, rec, 16384, nullptr, &receive),
            ERROR_IO_PENDING);
  Client client(server.port);
  client.Send("POST /o HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\n");
  auto [ok, bytes, ov, err] = port.Next();
  ASSERT_TRUE(ok) << err;
  EXPECT_EQ(ov, &receive);
  EXPECT_GT(bytes, sizeof(HTTP_REQUEST_V2));
  EXPECT_EQ(Text(rec->pRawUrl, rec->RawUrlLength), "/o");
  EXPECT_TRUE(rec->Flags & HTTP_REQUEST_FLAG_MORE_ENTITY_BODY_EXISTS);
  // The body read waits for bytes that are not there yet.
  char body[16];
  OVERLAPPED read{};
  ASSERT_EQ(HttpReceiveRequestEntityBody(server.queue, rec->RequestId, 0, body, sizeof body, nullptr, &read),
            ERROR_IO_PENDING);
  EXPECT_FALSE(std::get<0>(port.Next(100)));
  client.Send("abc");
  std::tie(ok, bytes, ov, err) = port.Next();
  ASSERT_TRUE(ok);
  EXPECT_EQ(ov, &read);
  EXPECT_EQ(std::string(body, bytes), "abc");
  EXPECT_EQ(HttpReceiveRequestEntityBody(server.queue, rec->RequestId, 0, body, sizeof body, nullptr, &read),
            ERROR_HANDLE_EOF);
  OVERLAPPED wait{};
  ASSERT_EQ(HttpWaitForDisconnect(server.queue, rec->ConnectionId, &wait), ERROR_IO_PENDING);
  OVERLAPPED send{};
  HTTP_RESPONSE_V2 response{};
  response.StatusCode = 200;
  ASSERT_EQ(HttpSendHttpResponse(server.queue, rec->RequestId, HTTP_SEND_RESPONSE_FLAG_DISCONNECT, &response,
                                 nullptr, nullptr, nullptr, 0, &send, nullptr), ERROR_IO_PENDING);
  std::tie(ok, bytes, ov, err) = port.Next();
  ASSERT_TRUE(ok);
  EXPECT_EQ(ov, &send);
  EXPECT_EQ(client.ReadResponse().substr(0, 12), "HTTP/1.1 200");
  EXPECT_TRUE(client.WaitClosed());
  std::tie(ok, bytes, ov, err) = port.Next();
  EXPECT_TRUE(ok);  // the disconnect wait completes successfully, however the end came
  EXPECT_EQ(ov, &wait);
  // The request and the connection are gone now.
  EXPECT_EQ(SendBody(server.queue, rec->RequestId, "late", 0), ERROR_CONNECTION_INVALID);
  EXPECT_EQ(HttpWaitForDisconnect(server.queue, rec->ConnectionId, &wait), ERROR_CONNECTION_INVALID);
  quillon::platform::detail::g_bodyHoldLimit = savedHold;
}

TEST(HttpApi, OpaqueUpgradeTurnsTheConnectionIntoAByteStream) {
  Server server;
  Port port;
  CreateIoCompletionPort(server.queue, port.h, 0, 0);
  Client client(server.port);
  client.Send(Get("/ws", "Connection: Upgrade\r\nUpgrade: websocket\r\n"));
  Received r = Receive(server.queue);
  ASSERT_EQ(r.rc, NO_ERROR);
  HTTP_REQUEST_ID id = r.request->RequestId;
  HTTP_RESPONSE_V2 response{};
  response.StatusCode = 101;
  response.pReason = "Switching Protocols";
  response.ReasonLength = 19;
  response.Headers.KnownHeaders[HttpHeaderUpgrade] = {9, "websocket"};
  response.Headers.KnownHeaders[HttpHeaderConnection] = {7, "Upgrade"};
  ASSERT_EQ(HttpSendHttpResponse(server.queue, id, HTTP_SEND_RESPONSE_FLAG_OPAQUE | HTTP_SEND_RESPONSE_FLAG_MORE_DATA,
                                 &response, nullptr, nullptr, nullptr, 0, nullptr, nullptr), NO_ERROR);
  std::string head = client.Read(3000ms, "\r\n\r\n");
  EXPECT_EQ(head.substr(0, 12), "HTTP/1.1 101");
  EXPECT_EQ(head.find("Content-Length"), std::string::npos);
  OVERLAPPED wait{};
  ASSERT_EQ(HttpWaitForDisconnect(server.queue, r.request->ConnectionId, &wait), ERROR_IO_PENDING);
  // Raw bytes both ways; even bytes that look like HTTP are not parsed.
  char buf[64];
  OVERLAPPED read{};
  ASSERT_EQ(HttpReceiveRequestEntityBody(server.queue, id, 0, buf, sizeof buf, nullptr, &read), ERROR_IO_PENDING);
  client.Send("GET / HTTP/1.1\r\n\x81\x00");
  auto [ok, bytes, ov, err] = port.Next();
  ASSERT_TRUE(ok);
  EXPECT_EQ(std::string(buf, bytes), "GET / HTTP/1.1\r\n\x81\x00");
  EXPECT_EQ(SendBody(server.queue, id, "\x81\x02hi", HTTP_SEND_RESPONSE_FLAG_MORE_DATA), NO_ERROR);
  EXPECT_EQ(client.Read(3000ms, "hi"), "\x81\x02hi");
  // The client goes: the pending read fails, the disconnect wait succeeds.
  ASSERT_EQ(HttpReceiveRequestEntityBody(server.queue, id, 0, buf, sizeof buf, nullptr, &read), ERROR_IO_PENDING);
  client.Reset();
  std::set<LPOVERLAPPED> seen;
  for (int i = 0; i < 2; ++i) {
    std::tie(ok, bytes, ov, err) = port.Next();
    seen.insert(ov);
    if (ov == &wait) {
      EXPECT_TRUE(ok);
    } else if (ov == &read) {
      EXPECT_FALSE(ok);
    }
  }
  EXPECT_EQ(seen, (std::set<LPOVERLAPPED>{&wait, &read}));
  EXPECT_EQ(SendBody(server.queue, id, "x", HTTP_SEND_RESPONSE_FLAG_MORE_DATA), ERROR_CONNECTION_INVALID);
}

// A client that writes several pieces and half-closes at once: every piece reaches a receive
// before the disconnect completes, and the answers to all of them still reach the client.
TEST(HttpApi, EveryByteBeforeTheEndOfAStreamIsHandedUp) {
  for (const bool reset : {false, true}) {
    Server server;
    Port port;
    CreateIoCompletionPort(server.queue, port.h, 0, 0);
    Client client(server.port);
    client.Send(Get("/ws", "Connection: Upgrade\r\nUpgrade: websocket\r\n"));
    Received r = Receive(server.queue);
    ASSERT_EQ(r.rc, NO_ERROR);
    HTTP_REQUEST_ID id = r.request->RequestId;
    HTTP_RESPONSE_V2 response{};
    response.StatusCode = 101;
    ASSERT_EQ(HttpSendHttpResponse(server.queue, id, HTTP_SEND_RESPONSE_FLAG_OPAQUE | HTTP_SEND_RESPONSE_FLAG_MORE_DATA,
                                   &response, nullptr, nullptr, nullptr, 0, nullptr, nullptr), NO_ERROR);
    ASSERT_EQ(client.Read(3000ms, "\r\n\r\n").substr(0, 12), "HTTP/1.1 101");
    OVERLAPPED wait{};
    ASSERT_EQ(HttpWaitForDisconnect(server.queue, r.request->ConnectionId, &wait), ERROR_IO_PENDING);
    std::string sent;
    for (int i = 0; i < 10; ++i) sent += "message " + std::to_string(i) + ";";
    client.Send(sent);
    if (reset) {
      // The bytes are in the server's socket before the reset comes.
      std::this_thread::sleep_for(200ms);
    }
    client.ShutdownWrite();
    char buf[7];  // small: many reads, the last ones after the end of the stream is known
    OVERLAPPED read{};
    std::string received;
    bool disconnected = false;
    ASSERT_EQ(HttpReceiveRequestEntityBody(server.queue, id, 0, buf, sizeof buf, nullptr, &read), ERROR_IO_PENDING);
    while (!disconnected) {
      auto [ok, bytes, ov, err] = port.Next();
      ASSERT_TRUE(ov == &read || ov == &wait) << err;
      if (ov == &wait) {
        disconnected = true;
        continue;
      }
      if (!ok || bytes == 0) continue;  // the read that found the end
      received.append(buf, bytes);
      SendBody(server.queue, id, std::string(buf, bytes), HTTP_SEND_RESPONSE_FLAG_MORE_DATA);
      ULONG rc = HttpReceiveRequestEntityBody(server.queue, id, 0, buf, sizeof buf, nullptr, &read);
      ASSERT_TRUE(rc == ERROR_IO_PENDING || rc == ERROR_CONNECTION_INVALID) << rc;
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(client.Read(3000ms, sent), sent);
  }
}

// Upgrades a fresh client's connection to an opaque stream; the request's id, or 0.
HTTP_REQUEST_V2* UpgradeToStream(Server& server, Client& client, Received& r) {
  client.Send(Get("/ws", "Connection: Upgrade\r\nUpgrade: websocket\r\n"));
  r = Receive(server.queue);
  if (r.rc != NO_ERROR) return nullptr;
  HTTP_RESPONSE_V2 response{};
  response.StatusCode = 101;
  if (HttpSendHttpResponse(server.queue, r.request->RequestId,
                           HTTP_SEND_RESPONSE_FLAG_OPAQUE | HTTP_SEND_RESPONSE_FLAG_MORE_DATA,
                           &response, nullptr, nullptr, nullptr, 0, nullptr, nullptr) != NO_ERROR)
    return nullptr;
  if (client.Read(3000ms, "\r\n\r\n").substr(0, 12) != "HTTP/1.1 101") return nullptr;
  return r.request;
}

// A waiting connection holds no input buffer: a zero-byte receive completes once bytes are
// there (which a receive with room then takes at once), a receive with room gets the bytes
// straight, and whatever is left over is held only until it is taken.
TEST(HttpApi, WaitingStreamsHoldNoInputBuffer) {
  namespace d = quillon::platform::detail;
  Server server;
  Port port;
  CreateIoCompletionPort(server.queue, port.h, 0, 0);
  Client client(server.port);
  Received r;
  HTTP_REQUEST_V2* request = UpgradeToStream(server, client, r);
  ASSERT_NE(request, nullptr);
  const HTTP_REQUEST_ID id = request->RequestId;
  auto connection = d::Connections().Find(request->ConnectionId);
  ASSERT_NE(connection, nullptr);
  char buf[64];
  ULONG got = 0;
  OVERLAPPED read{};

  // Zero bytes: only overlapped, and only on a stream.
  EXPECT_EQ(HttpReceiveRequestEntityBody(server.queue, id, 0, buf, 0, &got, nullptr),
            ERROR_INVALID_PARAMETER);
  ASSERT_EQ(HttpReceiveRequestEntityBody(server.queue, id, 0, nullptr, 0, nullptr, &read),
            ERROR_IO_PENDING);
  EXPECT_FALSE(std::get<0>(port.Next(100)));
  EXPECT_EQ(connection->InputCapacity(), 0u);
  client.Send("hello");
  auto [ok, bytes, ov, err] = port.Next();
  ASSERT_TRUE(ok) << err;
  EXPECT_EQ(ov, &read);
  EXPECT_EQ(bytes, 0u);
  ASSERT_EQ(HttpReceiveRequestEntityBody(server.queue, id, 0, buf, sizeof buf, &got, nullptr), NO_ERROR);
  EXPECT_EQ(std::string(buf, got), "hello");
  EXPECT_EQ(connection->InputCapacity(), 0u);

  // Bytes already there complete a zero-byte receive at once.
  const std::string big(100, 'b');
  ASSERT_EQ(HttpReceiveRequestEntityBody(server.queue, id, 0, buf, sizeof buf, nullptr, &read),
            ERROR_IO_PENDING);
  client.Send(big);
  std::tie(ok, bytes, ov, err) = port.Next();
  ASSERT_TRUE(ok);
  EXPECT_EQ(std::string(buf, bytes), big.substr(0, bytes));
  std::string rest;
  std::size_t taken = bytes;
  while (taken < big.size()) {
    ASSERT_EQ(HttpReceiveRequestEntityBody(server.queue, id, 0, nullptr, 0, nullptr, &read),
              ERROR_IO_PENDING);
    std::tie(ok, bytes, ov, err) = port.Next();
    ASSERT_TRUE(ok);
    ASSERT_EQ(HttpReceiveRequestEntityBody(server.queue, id, 0, buf, sizeof buf, &got, nullptr), NO_ERROR);
    taken += got;
  }
  EXPECT_EQ(taken, big.size());
  EXPECT_EQ(connection->InputCapacity(), 0u);

  // The end of the stream fails a waiting zero-byte receive.
  ASSERT_EQ(HttpReceiveRequestEntityBody(server.queue, id, 0, nullptr, 0, nullptr, &read),
            ERROR_IO_PENDING);
  client.ShutdownWrite();
  std::tie(ok, bytes, ov, err) = port.Next();
  EXPECT_FALSE(ok);
  EXPECT_EQ(ov, &read);
}

TEST(HttpApi, ZeroByteReceivesAreRefusedForRequestBodies) {
  Server server;
  auto savedHold = quillon::platform::detail::g_bodyHoldLimit;
  quillon::platform::detail::g_bodyHoldLimit = 0;
  Client client(server.port);
  client.Send("POST /o HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\n");
  Received r = Receive(server.queue);
  ASSERT_EQ(r.rc, NO_ERROR);
  OVERLAPPED read{};
  EXPECT_EQ(HttpReceiveRequestEntityBody(server.queue, r.request->RequestId, 0, nullptr, 0,
                                         nullptr, &read), ERROR_INVALID_PARAMETER);
  client.Send("abc");
  char buf[8];
  ULONG got = 0;
  EXPECT_EQ(HttpReceiveRequestEntityBody(server.queue, r.request->RequestId, 0, buf, sizeof buf,
                                         &got, nullptr), NO_ERROR);
  EXPECT_EQ(std::string(buf, got), "abc");
  Respond(server.queue, r.request->RequestId, 200, "");
  quillon::platform::detail::g_bodyHoldLimit = savedHold;
}

// A thread that holds one connection's lock (a worker inside a call on it) must not keep the
// event loop from serving the others; the events the loop left with the held connection are
// handled once the lock is let go.
TEST(HttpApi, AHeldConnectionDoesNotStallTheLoop) {
  namespace d = quillon::platform::detail;
  Server server;
  Port port;
  CreateIoCompletionPort(server.queue, port.h, 0, 0);
  Client stuck(server.port);
  stuck.Send(Get("/first"));
  Received first = Receive(server.queue);
  ASSERT_EQ(first.rc, NO_ERROR);
  auto connection = d::Connections().Find(first.request->ConnectionId);
  ASSERT_NE(connection, nullptr);

  std::atomic<bool> held{false}, release{false}, servedWhileHeld{false};
  std::thread holder([&] {
    connection->WhileLocked([&] {
      held = true;
      const auto until = std::chrono::steady_clock::now() + 10s;
      while (!release && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    });
  });
  while (!held) std::this_thread::sleep_for(1ms);
  // Readiness of the held connection reaches the loop first...
  stuck.Send(Get("/second"));
  std::this_thread::sleep_for(200ms);
  // ...then another client's request must still be read, parsed and queued.
  std::string buffer(16384, '\0');
  auto* rec = reinterpret_cast<HTTP_REQUEST_V2*>(buffer.data());
  OVERLAPPED receive{};
  ASSERT_EQ(HttpReceiveHttpRequest(server.queue, HTTP_NULL_ID, 0, rec, 16384, nullptr, &receive),
            ERROR_IO_PENDING);
  Client other(server.port);
  other.Send(Get("/other"));
  auto [ok, bytes, ov, err] = port.Next(5000);
  servedWhileHeld = ok && !release;
  release = true;
  holder.join();
  ASSERT_TRUE(ok) << err;
  EXPECT_TRUE(servedWhileHeld);
  EXPECT_EQ(Text(rec->pRawUrl, rec->RawUrlLength), "/other");
  EXPECT_EQ(Respond(server.queue, rec->RequestId, 200, "other"), NO_ERROR);
  EXPECT_EQ(Body(other.ReadResponse()), "other");
  // The held connection's pipelined request was not lost with the events left behind.
  EXPECT_EQ(Respond(server.queue, first.request->RequestId, 200, "first"), NO_ERROR);
  EXPECT_EQ(Body(stuck.ReadResponse()), "first");
  Received second = Receive(server.queue);
  ASSERT_EQ(second.rc, NO_ERROR);
  EXPECT_EQ(Text(second.request->pRawUrl, second.request->RawUrlLength), "/second");
  EXPECT_EQ(Respond(server.queue, second.request->RequestId, 200, "second"), NO_ERROR);
  EXPECT_EQ(Body(stuck.ReadResponse()), "second");
}

TEST(HttpApi, ResponseDelimitingFollowsTheFlags) {
  Server server;
  Client client(server.port);
  // MORE_DATA without a length: the body ends when the connection does.
  client.Send(Get("/stream"));
  Received r = Receive(server.queue);
  HTTP_RESPONSE_V2 response{};
  response.StatusCode = 200;
  ASSERT_EQ(HttpSendHttpResponse(server.queue, r.request->RequestId, HTTP_SEND_RESPONSE_FLAG_MORE_DATA, &response,
                                 nullptr, nullptr, nullptr, 0, nullptr, nullptr), NO_ERROR);
  EXPECT_EQ(SendBody(server.queue, r.request->RequestId, "part1,", HTTP_SEND_RESPONSE_FLAG_MORE_DATA), NO_ERROR);
  EXPECT_EQ(SendBody(server.queue, r.request->RequestId, "part2", 0), NO_ERROR);
  std::string all = client.Read(3000ms);
  EXPECT_NE(all.find("Connection: close"), std::string::npos);
  EXPECT_EQ(all.find("Content-Length"), std::string::npos);
  EXPECT_EQ(Body(all), "part1,part2");
  EXPECT_TRUE(client.WaitClosed(100ms));

  // MORE_DATA with the caller's Content-Length keeps the connection.
  Client keep(server.port);
  keep.Send(Get("/len"));
  r = Receive(server.queue);
  response.Headers.KnownHeaders[HttpHeaderContentLength] = {2, "10"};
  ASSERT_EQ(HttpSendHttpResponse(server.queue, r.request->RequestId, HTTP_SEND_RESPONSE_FLAG_MORE_DATA, &response,
                                 nullptr, nullptr, nullptr, 0, nullptr, nullptr), NO_ERROR);
  SendBody(server.queue, r.request->RequestId, "01234", HTTP_SEND_RESPONSE_FLAG_MORE_DATA);
  SendBody(server.queue, r.request->RequestId, "56789", 0);
  EXPECT_EQ(Body(keep.ReadResponse()), "0123456789");
  keep.Send(Get("/next"));
  r = Receive(server.queue);
  EXPECT_EQ(Text(r.request->pRawUrl, r.request->RawUrlLength), "/next");
  // HEAD: the length of the body it does not get.
  Respond(server.queue, r.request->RequestId, 200, "x");
  keep.ReadResponse();
  keep.Send("HEAD /h HTTP/1.1\r\nHost: a\r\n\r\n");
  r = Receive(server.queue);
  Respond(server.queue, r.request->RequestId, 200, "abcdef");
  std::string head = keep.Read(500ms);
  EXPECT_NE(head.find("Content-Length: 6"), std::string::npos);
  EXPECT_EQ(Body(head), "");
  // Header text that would split the response is refused.
  keep.Send(Get("/split"));
  r = Receive(server.queue);
  HTTP_RESPONSE_V2 evil{};
  evil.StatusCode = 200;
  HTTP_UNKNOWN_HEADER h{3, 12, "X-A", "a\r\nSet-Evil:"};
  evil.Headers.UnknownHeaderCount = 1;
  evil.Headers.pUnknownHeaders = &h;
  EXPECT_EQ(HttpSendHttpResponse(server.queue, r.request->RequestId, 0, &evil, nullptr, nullptr, nullptr, 0,
                                 nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(HttpApi, ClosingTheQueueReleasesABlockedReceiver) {
  Server server;
  std::atomic<ULONG> rc{0};
  std::thread receiver([&] { rc = Receive(server.queue).rc; });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(rc.load(), 0u);
  HttpShutdownRequestQueue(server.queue);
  receiver.join();
  EXPECT_EQ(rc.load(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(Receive(server.queue).rc, ERROR_OPERATION_ABORTED);
}

TEST(HttpApi, LimitsAnswer503WithoutDisturbingOthers) {
  Server server;
  ULONG length = 1;
  ASSERT_EQ(HttpSetRequestQueueProperty(server.queue, HttpServerQueueLengthProperty, &length, sizeof length, 0,
                                        nullptr), NO_ERROR);
  Client first(server.port), second(server.port);
  first.Send(Get("/1"));
  std::this_thread::sleep_for(100ms);
  second.Send(Get("/2"));
  std::string refused = second.ReadResponse();
  EXPECT_EQ(refused.substr(0, refused.find("\r\n")), "HTTP/1.1 503 Service Unavailable");
  Received r = Receive(server.queue);
  ASSERT_EQ(r.rc, NO_ERROR);
  EXPECT_EQ(Text(r.request->pRawUrl, r.request->RawUrlLength), "/1");
  Respond(server.queue, r.request->RequestId, 200, "fine");
  EXPECT_EQ(Body(first.ReadResponse()), "fine");

  HTTP_CONNECTION_LIMIT_INFO limit{};
  limit.Flags.Present = 1;
  limit.MaxConnections = 1;
  HTTP_QOS_SETTING_INFO qos{HttpQosSettingTypeConnectionLimit, &limit};
  ASSERT_EQ(HttpSetUrlGroupProperty(server.group, HttpServerQosProperty, &qos, sizeof qos), NO_ERROR);
  Responder responder(server.queue, EchoPath);
  first.Send(Get("/a"));  // already counted
  EXPECT_EQ(Body(first.ReadResponse()), "/a");
  Client third(server.port);
  third.Send(Get("/b"));
  EXPECT_EQ(third.ReadResponse().substr(9, 3), "503");
  EXPECT_TRUE(third.WaitClosed(1000ms));
  first.Send(Get("/c"));
  EXPECT_EQ(Body(first.ReadResponse()), "/c");
}

TEST(HttpApi, TricklingHeadersAndIdleConnectionsAreCutOff) {
  Server server;
  server.SetTimeouts(/*headerWait*/ 1, /*idle*/ 2);
  Responder responder(server.queue, EchoPath);
  Client trickle(server.port), idle(server.port), busy(server.port);
  auto start = std::chrono::steady_clock::now();
  bool closed = false;
  const std::string request = Get("/slow", "X-Long: " + std::string(40, 'z') + "\r\n");
  for (std::size_t i = 0; i < request.size() && !closed; ++i) {
    trickle.Send(request.substr(i, 1));
    closed = trickle.WaitClosed(100ms);
  }
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
  // Meanwhile a normal client is served.
  busy.Send(Get("/ok"));
  EXPECT_EQ(Body(busy.ReadResponse()), "/ok");
  EXPECT_TRUE(idle.WaitClosed(4000ms));
}

TEST(HttpApi, AbruptClientsDoNotUpsetTheEngine) {
  Server server;
  Responder responder(server.queue, [](HANDLE q, HTTP_REQUEST_V2& r) {
    std::this_thread::sleep_for(20ms);  // the client may be gone by now
    char buf[100];
    ULONG n;
    while (HttpReceiveRequestEntityBody(q, r.RequestId, 0, buf, sizeof buf, &n, nullptr) == NO_ERROR) {
    }
    std::string big(256 * 1024, 'b');
    Respond(q, r.RequestId, 200, big);
  });
  for (int i = 0; i < 20; ++i) {
    { Client c(server.port); c.Send("GET / HTTP/1.1\r\nHo"); c.Reset(); }
    { Client c(server.port); c.Send("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 100\r\n\r\nab"); c.Reset(); }
    { Client c(server.port); c.Send(Get("/")); c.Read(5ms); c.Reset(); }
  }
  Client healthy(server.port);
  healthy.Send(Get("/"));
  EXPECT_EQ(Body(healthy.ReadResponse(5000ms)).size(), 256u * 1024);
}

TEST(HttpApi, APeerThatDoesNotReadIsDroppedAtTheCap) {
  Server server;
  auto saved = quillon::platform::detail::g_sendQueueCap;
  quillon::platform::detail::g_sendQueueCap = 1 << 20;
  Client client(server.port);
  int small = 4096;
  setsockopt(client.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  client.Send(Get("/"));
  Received r = Receive(server.queue);
  HTTP_RESPONSE_V2 response{};
  response.StatusCode = 200;
  ASSERT_EQ(HttpSendHttpResponse(server.queue, r.request->RequestId, HTTP_SEND_RESPONSE_FLAG_MORE_DATA, &response,
                                 nullptr, nullptr, nullptr, 0, nullptr, nullptr), NO_ERROR);
  std::string chunk(256 * 1024, 'c');
  ULONG rc = NO_ERROR;
  auto start = std::chrono::steady_clock::now();
  int sends = 0;
  while (rc == NO_ERROR && sends < 100) {
    rc = SendBody(server.queue, r.request->RequestId, chunk, HTTP_SEND_RESPONSE_FLAG_MORE_DATA);
    ++sends;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // never blocked on the peer
  EXPECT_EQ(rc, ERROR_CONNECTION_INVALID);
  EXPECT_LT(sends, 100);
  EXPECT_EQ(SendBody(server.queue, r.request->RequestId, "x", 0), ERROR_CONNECTION_INVALID);
  quillon::platform::detail::g_sendQueueCap = saved;
}

// The cap bounds bytes queued and unsent, not one message: a client that reads gets a
// message far larger than the cap.
TEST(HttpApi, AMessageLargerThanTheCapReachesAReader) {
  Server server;
  Client client(server.port);
  client.Send(Get("/"));
  Received r = Receive(server.queue);
  ASSERT_EQ(r.rc, NO_ERROR);
  const std::string big = Pattern(quillon::platform::detail::g_sendQueueCap + (8u << 20));
  std::string got;
  std::thread reader([&] {
    // Read straight into one buffer: the helper's parsing is quadratic in the body size.
    std::string all;
    char buf[1 << 16];
    auto end = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{client.fd(), POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) continue;
      ssize_t n = recv(client.fd(), buf, sizeof buf, 0);
      if (n <= 0) break;
      all.append(buf, static_cast<std::size_t>(n));
      std::size_t head = all.find("\r\n\r\n");
      if (head != std::string::npos && all.size() >= head + 4 + big.size()) break;
    }
    got = Body(all);
  });
  EXPECT_EQ(Respond(server.queue, r.request->RequestId, 200, big), NO_ERROR);
  reader.join();
  EXPECT_TRUE(got == big) << got.size() << " of " << big.size();
}

// Bytes queued for a connection are visible, and all connections together have a cap: over
// it the connection whose write would pass it goes, the others stay.
TEST(HttpApi, QueuedSendBytesAreVisibleAndCappedForTheProcess) {
  namespace d = quillon::platform::detail;
  Server server;
  auto saved = d::g_processSendQueueCap;
  d::g_processSendQueueCap = 16u << 20;
  const std::string message(12u << 20, 'q');
  int small = 4096;
  Client first(server.port), second(server.port);
  std::vector<Received> requests;
  for (Client* c : {&first, &second}) {
    setsockopt(c->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    c->Send(Get("/"));
    requests.push_back(Receive(server.queue));
    ASSERT_EQ(requests.back().rc, NO_ERROR);
  }
  ULONGLONG mine = 0, all = 0;
  EXPECT_EQ(HttpQueryConnectionSendQueue(server.queue, requests[0].request->ConnectionId, &mine, &all), NO_ERROR);
  EXPECT_EQ(mine, 0u);
  HTTP_RESPONSE_V2 response{};
  response.StatusCode = 200;
  for (Received& r : requests)
    ASSERT_EQ(HttpSendHttpResponse(server.queue, r.request->RequestId, HTTP_SEND_RESPONSE_FLAG_MORE_DATA, &response,
                                   nullptr, nullptr, nullptr, 0, nullptr, nullptr), NO_ERROR);
  EXPECT_EQ(SendBody(server.queue, requests[0].request->RequestId, message, HTTP_SEND_RESPONSE_FLAG_MORE_DATA), NO_ERROR);
  EXPECT_EQ(HttpQueryConnectionSendQueue(server.queue, requests[0].request->ConnectionId, &mine, &all), NO_ERROR);
  EXPECT_GT(mine, 6u << 20);  // most of it: the peer reads nothing
  EXPECT_GE(all, mine);
  EXPECT_EQ(SendBody(server.queue, requests[1].request->RequestId, message, HTTP_SEND_RESPONSE_FLAG_MORE_DATA),
            ERROR_CONNECTION_INVALID);
  // The first is still there and still counted; the second's bytes are no longer.
  EXPECT_EQ(SendBody(server.queue, requests[0].request->RequestId, "more", HTTP_SEND_RESPONSE_FLAG_MORE_DATA), NO_ERROR);
  EXPECT_EQ(HttpQueryConnectionSendQueue(server.queue, requests[0].request->ConnectionId, &mine, &all), NO_ERROR);
  EXPECT_LT(all, d::g_processSendQueueCap);
  EXPECT_EQ(HttpQueryConnectionSendQueue(server.queue, requests[1].request->ConnectionId, &mine, nullptr),
            ERROR_CONNECTION_INVALID);
  d::g_processSendQueueCap = saved;
}

TEST(HttpApi, BasicCredentialsComeAsAuthenticationInfo) {
  Server server;
  HTTP_SERVER_AUTHENTICATION_INFO auth{};
  auth.Flags.Present = 1;
  auth.AuthSchemes = HTTP_AUTH_ENABLE_BASIC;
  auth.BasicParams = {13, "Quillon 4.4.6"};
  ASSERT_EQ(HttpSetUrlGroupProperty(server.group, HttpServerAuthenticationProperty, &auth, sizeof auth), NO_ERROR);
  Client client(server.port);
  struct {
    std::string header;
    HTTP_AUTH_STATUS status;
    HTTP_REQUEST_AUTH_TYPE type;
    std::string context;
  } cases[] = {
      {"Authorization: Basic dXNlcjpwYXNz\r\n", HttpAuthStatusSuccess, HttpRequestAuthTypeBasic, "user:pass"},
      {"Authorization: basic !!!!\r\n", HttpAuthStatusFailure, HttpRequestAuthTypeBasic, ""},
      {"", HttpAuthStatusNotAuthenticated, HttpRequestAuthTypeNone, ""},
  };
  for (auto& c : cases) {
    client.Send(Get("/", c.header));
    Received r = Receive(server.queue);
    ASSERT_EQ(r.request->RequestInfoCount, 1);
    ASSERT_EQ(r.request->pRequestInfo->InfoType, HttpRequestInfoTypeAuth);
    auto* info = static_cast<HTTP_REQUEST_AUTH_INFO*>(r.request->pRequestInfo->pInfo);
    EXPECT_EQ(info->AuthStatus, c.status) << c.header;
    EXPECT_EQ(info->AuthType, c.type) << c.header;
    EXPECT_EQ(std::string(static_cast<char*>(info->PackedContext) ? static_cast<char*>(info->PackedContext) : "",
                          info->PackedContextLength), c.context);
    Respond(server.queue, r.request->RequestId, 200, "");
    client.ReadResponse();
  }
}

TEST(HttpApi, ThousandConcurrentConnections) {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_cur < 4096) {
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 4096);
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  Server server;
  Responder responder(server.queue, EchoPath);
  constexpr int kClients = 1000;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<Client>(server.port));
  for (int i = 0; i < kClients; ++i) clients[i]->Send(Get("/c" + std::to_string(i)));
  int ok = 0;
  for (int i = 0; i < kClients; ++i) ok += Body(clients[i]->ReadResponse(10s)) == "/c" + std::to_string(i);
  EXPECT_EQ(ok, kClients);
}

}  // namespace
