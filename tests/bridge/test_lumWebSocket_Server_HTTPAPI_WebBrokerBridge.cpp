// The bridge: the request adapter's property indexes, header look-ups and body reads, the
// response adapter's properties, streams, dates and the header lines it sends (both over
// a request without a connection), and the bridge server over loopback: OnCommandRequest,
// the pooled handler and RegisterWebModuleClass, statuses and headers as the module set
// them, failures answered 500 or 503, and the limit of 32 busy modules.
#include "bridge/lumWebSocket_Server_HTTPAPI_WebBrokerBridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackClient.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace quillon {
namespace {

THttpServerRequest SampleRequest() {
  THttpServerRequest r;
  r.Method = "POST";
  r.Document = "/a b";
  r.QueryParams = "x=A&y=%zz";
  r.ContentType = "text/plain";
  r.Cookies = "k=v; n=m";
  r.Content = "hello body";
  r.ContentLength = 10;
  r.Headers =
      "Cache-Control: no-store\r\nConnection: keep-alive\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
      "Content-Encoding: gzip\r\nExpires: soon\r\nAccept: */*\r\nAuthorization: Basic eDp5\r\n"
      "From: me@example.org\r\nhost: 127.0.0.1:5420\r\nIf-Modified-Since: Sunday, 06-Nov-94 08:49:37 GMT\r\n"
      "Referer: http://127.0.0.1/\r\nUser-Agent: tester\r\n";
  return r;
}

TEST(RequestAdapter, StringIndexesComeFromTheRecordAndItsHeaders) {
  TlumWebRequestHTTPAPI q(nullptr, SampleRequest(), THttpServerResponse{});
  const std::vector<std::pair<int, std::string>> expected = {
      {0, "POST"},
      {1, ""},  // "Version" is not a known request header
      {2, ""},
      {3, "x=A&y=%zz"},
      {4, "/a b"},
      {5, "/a b"},
      {6, "no-store"},
      {7, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {8, "*/*"},
      {9, "me@example.org"},
      {10, "127.0.0.1:5420"},  // sent as "host"
      {11, "Sunday, 06-Nov-94 08:49:37 GMT"},
      {12, "http://127.0.0.1/"},
      {13, "tester"},
      {14, "gzip"},
      {15, "text/plain"},
      {16, "10"},
      {17, ""},
      {18, ""},
      {19, "soon"},
      {20, ""},
      {21, ""},   // no connection: no peer address
      {22, "0"},
      {23, ""},
      {24, "0"},  // no REMOTE_HOST line and no connection
      {25, ""},
      {26, "keep-alive"},
      {27, "k=v; n=m"},
      {28, "Basic eDp5"},
      {29, ""},
      {-1, ""},
  };
  for (const auto& [index, value] : expected) EXPECT_EQ(q.GetStringVariable(index), value) << "index " << index;
  EXPECT_EQ(q.InternalPathInfo(), q.PathInfo());
  EXPECT_EQ(q.InternalScriptName(), "");
  EXPECT_EQ(q.MethodType(), TMethodType::mtPost);
  EXPECT_EQ(q.QueryFields().Values("X"), "A");
  EXPECT_EQ(q.CookieFields().Values("n"), "m");
}

TEST(RequestAdapter, HeaderLookUpIgnoresCaseTakesTheFirstLineAndOneBlank) {
  THttpServerRequest r;
  r.Method = "GET";
  r.Headers = "no colon here\r\nHOST: first\r\nHost: second\r\nAccept:   three blanks\r\nFrom:x\r\nREMOTE_HOST: 8080\r\n";
  TlumWebRequestHTTPAPI q(nullptr, r, THttpServerResponse{});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Host", "first"}, {"host", "first"}, {"Accept", "  three blanks"}, {"From", "x"},
      {"no colon here", ""}, {"Missing", ""}, {"Hos", ""},
  };
  for (const auto& [name, value] : cases) EXPECT_EQ(q.GetFieldByName(name), value) << name;
  // A REMOTE_HOST line above 0 is the server port.
  EXPECT_EQ(q.ServerPort(), 8080);
  EXPECT_EQ(q.MethodType(), TMethodType::mtGet);
}

TEST(RequestAdapter, DatesAndIntegers) {
  TlumWebRequestHTTPAPI q(nullptr, SampleRequest(), THttpServerResponse{});
  EXPECT_DOUBLE_EQ(q.Date(), UnixToWebDateTime(784111777));
  EXPECT_DOUBLE_EQ(q.IfModifiedSince(), UnixToWebDateTime(784111777));
  EXPECT_EQ(q.Expires(), -1);  // "soon" is no date
  EXPECT_EQ(q.ContentLength(), 10);
  EXPECT_EQ(q.ServerPort(), 0);

  THttpServerRequest bare;
  bare.Method = "PATCH";
  TlumWebRequestHTTPAPI b(nullptr, bare, THttpServerResponse{});
  EXPECT_EQ(b.Date(), -1);
  EXPECT_EQ(b.ContentLength(), 0);
  EXPECT_EQ(b.MethodType(), TMethodType::mtPatch);
  EXPECT_EQ(b.GetDateVariable(8), 0);      // not a date index
  EXPECT_EQ(b.GetIntegerVariable(3), -1);  // not an integer index
}

TEST(RequestAdapter, BodyReads) {
  TlumWebRequestHTTPAPI q(nullptr, SampleRequest(), THttpServerResponse{});
  char buf[5] = {};
  ASSERT_EQ(q.ReadClient(buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  // RawContent reads it all and leaves the position alone.
  EXPECT_EQ(q.RawContent(), "hello body");
  EXPECT_EQ(q.ReadString(3), " bo");
  EXPECT_THROW(
      {
        try {
          q.ReadString(3);  // two left
        } catch (const std::exception& e) {
          EXPECT_STREQ(e.what(), "Stream read error");
          throw;
        }
      },
      std::exception);
  // Count 0 gives the whole body whatever was read before.
  EXPECT_EQ(q.ReadString(0), "hello body");
  EXPECT_EQ(q.ReadClient(buf, 5), 0);
  EXPECT_EQ(q.ReadClient(buf, -1), 0);

  THttpServerRequest bare;
  bare.Method = "GET";
  TlumWebRequestHTTPAPI b(nullptr, bare, THttpServerResponse{});
  EXPECT_EQ(b.RawContent(), "");
  EXPECT_EQ(b.ReadClient(buf, 5), 0);
  EXPECT_EQ(b.ReadString(0), "");
  EXPECT_EQ(b.Content(), "");
}

// ---------------------------------------------------------------------------------------

struct TResponseFixture {
  THttpServerRequest record = SampleRequest();
  TlumWebRequestHTTPAPI request{nullptr, record, THttpServerResponse{}};
  TlumWebResponseHTTPAPI response{nullptr, &request, THttpServerResponse{}};
};

TEST(ResponseAdapter, StringIndexesKeepFieldsOrHeaderLines) {
  TResponseFixture f;
  TlumWebResponseHTTPAPI& r = f.response;
  for (int i = 0; i < 13; ++i) r.SetStringVariable(i, "v" + std::to_string(i));
  const std::vector<std::pair<int, std::string>> expected = {
      {0, ""}, {1, "v1"}, {2, "v2"},  {3, "v3"},  {4, "v4"},  {5, "v5"}, {6, "v6"},
      {7, "v7"}, {8, "v8"}, {9, "v9"}, {10, "v10"}, {11, "v11"}, {12, ""},
  };
  for (const auto& [index, value] : expected) EXPECT_EQ(r.GetStringVariable(index), value) << "index " << index;
  EXPECT_EQ(r.Record().CustomHeader,
            "Server: v2\r\nWWW-Authenticate: v3\r\nBasic realm: v4\r\nAllow: v5\r\nLocation: v6\r\n"
            "Content-Encoding: v7\r\nContent-Version: v9\r\nDerived-From: v10\r\nTitle: v11\r\n");
  // ReasonString and Content are one text.
  EXPECT_EQ(r.Content(), "v1");
  r.SetContent("body");
  EXPECT_EQ(r.ReasonString(), "body");
  EXPECT_EQ(r.ContentType(), "v8");
  EXPECT_EQ(r.Record().ContentType, "v8");
}

TEST(ResponseAdapter, RepeatedHeadersStatusAndLength) {
  TResponseFixture f;
  TlumWebResponseHTTPAPI& r = f.response;
  r.SetLocation("/first");
  r.SetLocation("/second");
  EXPECT_EQ(r.Location(), "/first");
  EXPECT_EQ(r.Record().CustomHeader, "Location: /first\r\nLocation: /second\r\n");
  EXPECT_EQ(r.ContentLength(), 0);
  r.SetContentLength(12);
  EXPECT_EQ(r.ContentLength(), 12);
  EXPECT_EQ(r.StatusCode(), 0);
  r.SetStatusCode(404);
  EXPECT_EQ(r.Record().ResponseNo, 404);
  EXPECT_EQ(r.GetIntegerVariable(1), 0);
  // A value cannot start a header line of its own.
  r.SetWWWAuthenticate("Basic\r\nSet-Cookie: evil=1");
  EXPECT_EQ(r.WWWAuthenticate(), "Basic  Set-Cookie: evil=1");
}

TEST(ResponseAdapter, ContentStreamIsCopiedAndTextWinsOverIt) {
  TResponseFixture f;
  TlumWebResponseHTTPAPI& r = f.response;
  r.SetContent("text first");
  auto stream = std::make_unique<std::istringstream>(std::string("stream bytes\0!", 14));
  stream->seekg(3);  // the copy starts at the stream's start anyway
  r.SetContentStream(std::move(stream));
  EXPECT_EQ(r.Content(), "");
  ASSERT_NE(r.Record().ContentStream, nullptr);
  const std::string copy{std::istreambuf_iterator<char>(*r.Record().ContentStream), {}};
  EXPECT_EQ(copy, std::string("stream bytes\0!", 14));
  ASSERT_NE(r.ContentStream(), nullptr);  // the framework keeps the original
  EXPECT_EQ(r.ContentLength(), 14);
  r.SetContent("text again");
  EXPECT_EQ(r.Content(), "text again");
  r.SetContentStream(nullptr);
  EXPECT_EQ(r.Record().ContentStream, nullptr);
  EXPECT_EQ(r.Content(), "");
}

TEST(ResponseAdapter, SendResponseFillsTheContentTypeAndMarksSent) {
  TResponseFixture f;
  TlumWebResponseHTTPAPI& r = f.response;
  EXPECT_FALSE(r.Sent());
  r.SendResponse();
  EXPECT_TRUE(r.Sent());
  EXPECT_EQ(r.ContentType(), "text/html; charset=utf-8");

  TResponseFixture g;
  g.response.SendRedirect("/x");
  EXPECT_TRUE(g.response.Sent());
  TResponseFixture h;
  std::istringstream s("abc");
  h.response.SendStream(s);
  EXPECT_TRUE(h.response.Sent());
  // A direct write through the request is the answer too.
  TResponseFixture w;
  EXPECT_TRUE(w.request.WriteString("direct"));
  EXPECT_TRUE(w.response.Sent());
  TResponseFixture c;
  EXPECT_EQ(c.request.WriteClient("ab", 2), 2);
  EXPECT_TRUE(c.response.Sent());
  TResponseFixture z;
  EXPECT_EQ(z.request.WriteClient("ab", 0), 0);
  EXPECT_TRUE(z.request.WriteHeaders(200, "OK", "X: y"));
  EXPECT_FALSE(z.response.Sent());
}

class ZoneGuard {
 public:
  explicit ZoneGuard(const char* aZone) {
    if (const char* old = std::getenv("TZ")) FOld = old, FHad = true;
    setenv("TZ", aZone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (FHad) setenv("TZ", FOld.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::string FOld;
  bool FHad = false;
};

TEST(ResponseAdapter, DatesAreStoredInLocalTimeAndReadBackAsGiven) {
  ZoneGuard zone("XST-3");  // three hours east of UTC, no daylight saving
  TResponseFixture f;
  TlumWebResponseHTTPAPI& r = f.response;
  const TWebDateTime value = UnixToWebDateTime(1'700'000'000);
  r.SetLastModified(value);
  EXPECT_NEAR(r.LastModified(), value, 1e-9);
  ASSERT_TRUE(r.Record().LastModified.has_value());
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(r.Record().LastModified->time_since_epoch()).count(),
            1'700'000'000 + 3 * 3600);
  r.SetDate(-1);
  EXPECT_EQ(r.Date(), -1);
  EXPECT_EQ(r.Expires(), 0);  // never set
  r.SetDateVariable(7, value);
  EXPECT_EQ(r.GetDateVariable(7), 0);
}

TEST(ResponseAdapter, HeaderLinesSentWithTheAnswer) {
  TResponseFixture f;
  TlumWebResponseHTTPAPI& r = f.response;
  r.SetContentType("application/json");
  r.SetRealm("ignored: not a header name");
  r.SetLocation("/there");
  r.SetContentLength(99);  // the engine writes the length itself
  r.SetCustomHeader("Pragma", "dssession=1");
  r.SetCustomHeader("Transfer-Encoding", "chunked");
  std::vector<std::string> expected = {"Content-Type: application/json", "Location: /there", "Pragma: dssession=1",
                                       "Server: Quillon 4.4.6"};
  EXPECT_EQ(r.ResponseHeaderLines(), expected);
  // A module's own Server line replaces the library's.
  r.SetServer("Mine");
  expected.insert(expected.begin() + 2, "Server: Mine");
  expected.pop_back();
  EXPECT_EQ(r.ResponseHeaderLines(), expected);
}

// ---------------------------------------------------------------------------------------
// Over loopback

std::atomic<int> gCreated{0};
std::atomic<int> gDestroyed{0};

// Answers by path: "/status" 404 with text and headers, "/throw" raises, "/block" waits for
// the gate, anything else "module <path>".
class TTestModule : public TWebModule {
 public:
  static std::mutex GateLock;
  static std::condition_variable Gate;
  static bool Open;

  TTestModule() {
    ++gCreated;
    AddAction("all", "", true).OnAction = [](TObject*, TWebRequest& q, TWebResponse& r, bool&) {
      const std::string path = q.PathInfo();
      if (path == "/status") {
        r.SetStatusCode(404);
        r.SetContent("gone");
        r.SetLocation("/else");
        r.SetWWWAuthenticate("Basic realm=\"x\"");
        r.SetContentEncoding("identity");
      } else if (path == "/throw") {
        throw std::runtime_error("module failed");
      } else if (path == "/block") {
        std::unique_lock lock(GateLock);
        Gate.wait_for(lock, 20s, [] { return Open; });
        r.SetContent("released");
      } else if (path == "/write") {
        q.WriteString("direct \xF0\x9F\x98\x80");
      } else if (path == "/writeclient") {
        q.WriteClient("raw\0bytes", 9);
      } else if (path == "/sendstream") {
        std::istringstream s("streamed");
        r.SendStream(s);
      } else if (path == "/empty") {
        r.SetStatusCode(404);
      } else {
        r.SetContent("module " + path);
      }
    };
  }
  ~TTestModule() override { ++gDestroyed; }
};
std::mutex TTestModule::GateLock;
std::condition_variable TTestModule::Gate;
bool TTestModule::Open = false;

class NotADispatcher : public TComponent {};

std::string Get(int aPort, const std::string& aPath, std::string* aAnswer = nullptr) {
  loopback::Client c(aPort);
  c.Send("GET " + aPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  const std::string all = c.ReadAll();
  if (aAnswer != nullptr) *aAnswer = all;
  return all.substr(0, all.find("\r\n"));
}

std::string Body(const std::string& aAnswer) {
  const std::size_t end = aAnswer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : aAnswer.substr(end + 4);
}

class BridgeServer : public ::testing::Test {
 protected:
  void SetUp() override {
    FPort = loopback::FreePort();
    FServer.SetDefaultPort(FPort);
    FServer.SetThreadPoolSize(40);
    GetWebBrokerBridgeRequestHandler()->SetWebModuleClass(ClassOf<TTestModule>("TTestModule"));
  }
  void TearDown() override {
    FServer.SetActive(false);
    GetWebBrokerBridgeRequestHandler()->FreeModules();
  }
  void Start() { FServer.SetActive(true); }

  int FPort = 0;
  TlumWSServer_HTTPAPI_WebBrokerBridge FServer;
};

TEST_F(BridgeServer, DefaultPortIsThePort) {
  FServer.SetDefaultPort(5420);
  EXPECT_EQ(FServer.Port(), 5420);
  FServer.SetPort(6001);
  EXPECT_EQ(FServer.DefaultPort(), 6001);
}

TEST_F(BridgeServer, CommandRequestAnswersOrPassesItsChangesOn) {
  FServer.OnCommandRequest = [](TlumWSConnection_HTTPAPI*, const THttpServerRequest& q, THttpServerResponse& r,
                                bool& handled) {
    if (q.Document == "/handled") {
      r.ResponseNo = 200;
      r.ContentText = "from the event";
      handled = true;
    } else if (q.Document == "/fails") {
      throw std::runtime_error("handler failed");
    } else if (q.Document == "/zero") {
      r.ContentText = "never sent";
      handled = true;
    } else {
      r.CacheControl = "max-age=7";
    }
  };
  Start();
  std::string answer;
  EXPECT_EQ(Get(FPort, "/handled", &answer), "HTTP/1.1 200 OK");
  EXPECT_EQ(Body(answer), "from the event");
  EXPECT_EQ(Get(FPort, "/fails", &answer), "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(Get(FPort, "/zero", &answer), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Body(answer), "");
  const int created = gCreated;
  EXPECT_EQ(Get(FPort, "/passed", &answer), "HTTP/1.1 200 OK");
  EXPECT_EQ(Body(answer), "module /passed");
  EXPECT_NE(answer.find("\r\nCache-Control: max-age=7\r\n"), std::string::npos) << answer;
  EXPECT_EQ(gCreated, created + 1);  // the first pooled module
  // The module stays in the pool for the next request.
  EXPECT_EQ(Get(FPort, "/again"), "HTTP/1.1 200 OK");
  EXPECT_EQ(gCreated, created + 1);
  EXPECT_EQ(GetWebBrokerBridgeRequestHandler()->InactiveCount(), 1);
}

TEST_F(BridgeServer, StatusAndHeadersAsTheModuleSetThem) {
  Start();
  std::string answer;
  EXPECT_EQ(Get(FPort, "/status", &answer), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Body(answer), "gone");
  for (const char* line : {"\r\nLocation: /else\r\n", "\r\nWWW-Authenticate: Basic realm=\"x\"\r\n",
                           "\r\nContent-Encoding: identity\r\n", "\r\nContent-Type: text/html; charset=utf-8\r\n",
                           "\r\nServer: Quillon 4.4.6\r\n"}) {
    EXPECT_NE(answer.find(line), std::string::npos) << line << answer;
  }
  // Direct writes and a sent stream are the answer; the framework sends nothing after them.
  const std::vector<std::pair<std::string, std::string>> direct = {
      {"/write", "direct \xF0\x9F\x98\x80"}, {"/writeclient", std::string("raw\0bytes", 9)}, {"/sendstream", "streamed"}};
  for (const auto& [path, body] : direct) {
    EXPECT_EQ(Get(FPort, path, &answer), "HTTP/1.1 200 OK") << path;
    EXPECT_EQ(Body(answer), body) << path;
    EXPECT_NE(answer.find("\r\nContent-Type: text/html; charset=utf-8\r\n"), std::string::npos) << answer;
  }
  // No body at all is still a complete answer.
  EXPECT_EQ(Get(FPort, "/empty", &answer), "HTTP/1.1 404 Not Found");
  EXPECT_NE(answer.find("\r\n\r\n"), std::string::npos) << answer;
  EXPECT_EQ(Body(answer), "");
  // The module's exception handling answers a failing pooled module.
  EXPECT_EQ(Get(FPort, "/throw", &answer), "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(Body(answer), "Internal Server Error");
}

TEST_F(BridgeServer, RegisteredClassMakesAModulePerRequest) {
  FServer.RegisterWebModuleClass(ClassOf<TTestModule>("TTestModule"));
  Start();
  const int created = gCreated, destroyed = gDestroyed;
  std::string answer;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Get(FPort, "/own", &answer), "HTTP/1.1 200 OK");
  EXPECT_EQ(Body(answer), "module /own");
  EXPECT_EQ(gCreated, created + 3);
  EXPECT_EQ(gDestroyed, destroyed + 3);
  EXPECT_EQ(GetWebBrokerBridgeRequestHandler()->InactiveCount(), 0);
  // No framework exception handling here: the failure leaves, after a 500.
  EXPECT_EQ(Get(FPort, "/throw", &answer), "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(gDestroyed, destroyed + 4);
}

TEST_F(BridgeServer, AClassThatIsNoDispatcherFails) {
  FServer.RegisterWebModuleClass(ClassOf<NotADispatcher>("NotADispatcher"));
  Start();
  EXPECT_EQ(Get(FPort, "/x"), "HTTP/1.1 500 Internal Server Error");
}

TEST_F(BridgeServer, WithoutAModuleClassTheClientGets500) {
  GetWebBrokerBridgeRequestHandler()->SetWebModuleClass({});
  Start();
  std::string answer;
  EXPECT_EQ(Get(FPort, "/x", &answer), "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(Body(answer), "No data modules registered\n");
}

TEST_F(BridgeServer, The33rdSimultaneousRequestFindsAllModulesBusy) {
  Start();
  {
    std::lock_guard lock(TTestModule::GateLock);
    TTestModule::Open = false;
  }
  std::vector<std::string> lines(32);
  std::vector<std::thread> clients;
  for (int i = 0; i < 32; ++i) clients.emplace_back([&, i] { lines[i] = Get(FPort, "/block"); });
  ASSERT_TRUE(testwait::WaitUntil([] { return GetWebBrokerBridgeRequestHandler()->ActiveCount() == 32; }, 20s));
  std::string answer;
  EXPECT_EQ(Get(FPort, "/x", &answer), "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(Body(answer), "Maximum number of concurrent connections exceeded.  Please try again later\n");
  {
    std::lock_guard lock(TTestModule::GateLock);
    TTestModule::Open = true;
  }
  TTestModule::Gate.notify_all();
  for (auto& t : clients) t.join();
  for (const std::string& l : lines) EXPECT_EQ(l, "HTTP/1.1 200 OK");
  EXPECT_EQ(GetWebBrokerBridgeRequestHandler()->InactiveCount(), 32);
  EXPECT_EQ(Get(FPort, "/x"), "HTTP/1.1 200 OK");
}

}  // namespace
}  // namespace quillon
