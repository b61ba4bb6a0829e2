#include <gtest/gtest.h>

#include <functional>

#include "connection/lumWebSocket_Hash.h"
#include "server/ServerFixture.h"

namespace quillon::test {
namespace {

const std::string kUpgradeHeaders[] = {"Host: 127.0.0.1", "Upgrade: websocket",
                                       "Connection: Upgrade",
                                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
                                       "Sec-WebSocket-Version: 13"};

std::vector<std::string> Upgrade(const std::string& aPath, std::vector<std::string> aExtra = {}) {
  std::vector<std::string> lines{"GET " + aPath + " HTTP/1.1"};
  for (const auto& h : kUpgradeHeaders) lines.push_back(h);
  for (auto& h : aExtra) lines.push_back(std::move(h));
  return lines;
}

class Classify : public ::testing::Test {
 protected:
  int Run(TTestConnection& c) { return server.DoProcessRequest(&c); }
  TTestServer server;
};

TEST_F(Classify, RequestTable) {
  struct Case {
    const char* Name;
    std::vector<std::string> Lines;
    std::function<void(TTestServer&)> Setup;
    int Code;
    TwsTransport Transport;
    int Answer;  // status of the answer written during classification; 0 for none
  };
  auto none = [](TTestServer&) {};
  const Case cases[] = {
      {"upgrade", Upgrade("/"), none, 101, trpUndefined, 0},
      {"upgrade header in other case",
       {"GET / HTTP/1.1", "upgrade: WebSocket", "Connection: Upgrade"}, none, 101, trpUndefined, 0},
      {"upgrade header on a POST is plain HTTP",
       {"POST / HTTP/1.1", "Upgrade: websocket", "Content-Length: 0"}, none, 404, trpHTTP, 0},
      {"session request without authentication",
       {"GET /lum/req/auth/session/u/p HTTP/1.1"}, none, 200, trpUndefined, 404},
      {"xhr post to an unknown stream",
       {"POST /lum/xhr/0123 HTTP/1.1", "Content-Length: 2", "", "hi"}, none, 200, trpUndefined, 404},
      {"flash policy while disabled", {"<policy-file-request/>"}, none, 404, trpFlash, 0},
      {"event stream while disabled", {"GET /events HTTP/1.1", "Accept: text/event-stream"}, none,
       404, trpSSE, 0},
      {"html that is not built in", {"GET /index.html HTTP/1.1"}, none, 404, trpHTTP, 0},
      {"built-in page with a query string", {"GET /Quillon.html?x=1 HTTP/1.1"}, none, 404, trpHTTP, 0},
      {"built-in page", {"GET /Quillon.html HTTP/1.1"}, none, 200, trpUndefined, 200},
      {"built-in page with html files off", {"GET /Quillon.html HTTP/1.1"},
       [](TTestServer& s) { s.Options().HTMLFiles = false; }, 404, trpHTTP, 0},
      {"library in any folder, any case", {"GET /any/dir/quillon.JS HTTP/1.1"}, none, 200,
       trpUndefined, 200},
      {"javascript off", {"GET /Quillon.js HTTP/1.1"},
       [](TTestServer& s) { s.Options().JavascriptFiles = false; }, 404, trpHTTP, 0},
      {"http/1.0 is plain HTTP too", {"GET /x HTTP/1.0"}, none, 404, trpHTTP, 0},
      {"unknown protocol refused", {"HELLO"}, none, 404, trpUndefined, 0},
      {"unknown protocol accepted", {"HELLO"},
       [](TTestServer& s) { s.OnUnknownProtocol = [](TlumWSConnection*, bool& a) { a = true; }; },
       101, trpUndefined, 0},
  };
  for (const Case& tc : cases) {
    TTestServer s;
    tc.Setup(s);
    auto c = NewRequest(tc.Lines);
    EXPECT_EQ(s.DoProcessRequest(c.get()), tc.Code) << tc.Name;
    EXPECT_EQ(c->Transport(), tc.Transport) << tc.Name;
    if (tc.Answer == 0) {
      EXPECT_TRUE(c->Answers.empty()) << tc.Name;
    } else {
      ASSERT_EQ(c->Answers.size(), 1u) << tc.Name;
      EXPECT_EQ(c->Answers[0].Code, tc.Answer) << tc.Name;
    }
  }
}

TEST_F(Classify, AcceptedUnknownProtocolIsEnabled) {
  server.OnUnknownProtocol = [](TlumWSConnection*, bool& a) { a = true; };
  auto c = NewRequest({"HELLO"});
  c->SetEnabledForTest(false);
  EXPECT_EQ(Run(*c), 101);
  EXPECT_TRUE(c->Enabled());
}

TEST_F(Classify, XhrPostDeliversTheBodyAsAMessageOfTheTargetStream) {
  TTestConnection* stream = NewOpenConnection();
  stream->SetTransport(trpSSE);
  server.AddConnection(stream);
  std::vector<std::string> got;
  TlumWSConnection* target = nullptr;
  server.OnMessage = [&](TlumWSConnection* c, const std::string& t) {
    target = c;
    got.push_back(t);
  };
  auto post = NewRequest({"POST /lum/xhr/" + stream->Guid() + " HTTP/1.1", "Content-Length: 11",
                          "", "hello", "world"});
  EXPECT_EQ(Run(*post), 200);
  EXPECT_EQ(target, stream);
  EXPECT_EQ(got, std::vector<std::string>{"hello\r\nworld"});
  EXPECT_EQ(stream->MsgReceived(), "hello\r\nworld");
  ASSERT_EQ(post->Answers.size(), 1u);
  EXPECT_EQ(post->Answers[0].Code, 200);
  EXPECT_EQ(post->Answers[0].ContentType, "text/html");
  EXPECT_EQ(post->Answers[0].Body, "");

  // An empty post is answered but delivers nothing.
  auto empty = NewRequest({"POST /lum/xhr/" + stream->Guid() + " HTTP/1.1", "Content-Length: 0"});
  EXPECT_EQ(Run(*empty), 200);
  EXPECT_EQ(got.size(), 1u);
  EXPECT_EQ(empty->Answers.size(), 1u);
}

TEST_F(Classify, ProtocolPostIsAnsweredByTheNamedObject) {
  class TEcho : public TlumWSProtocol_Base_Server {
   public:
    using TlumWSProtocol_Base_Server::TlumWSProtocol_Base_Server;
    std::string DoProtocolPost(TlumWSConnection*, const std::string& aArgument,
                               const std::string& aBody) override {
      return aArgument + "=" + aBody;
    }
  } echo("chat");
  server.RegisterProtocol(&echo);
  auto post = NewRequest({"POST /lum/protocol/CHAT/room/1 HTTP/1.1", "Content-Length: 3", "", "abc"});
  EXPECT_EQ(Run(*post), 200);
  ASSERT_EQ(post->Answers.size(), 1u);
  EXPECT_EQ(post->Answers[0].Body, "room/1=abc");
  EXPECT_EQ(post->Answers[0].ContentType, "text/html");

  auto unknown = NewRequest({"POST /lum/protocol/none/x HTTP/1.1", "Content-Length: 3", "", "abc"});
  EXPECT_EQ(Run(*unknown), 200);
  ASSERT_EQ(unknown->Answers.size(), 1u);
  EXPECT_EQ(unknown->Answers[0].Code, 404);
}

TEST_F(Classify, FlashPolicyIsWrittenRawWithItsTrailingNul) {
  server.FallBack().Flash.Enabled = true;
  server.FallBack().Flash.Domain = "example.com";
  server.FallBack().Flash.Ports = "80,443";
  auto c = NewRequest({"<policy-file-request/>"});
  EXPECT_EQ(Run(*c), 200);
  EXPECT_EQ(c->Transport(), trpFlash);
  EXPECT_EQ(c->AllWritten(),
            std::string("<cross-domain-policy><allow-access-from domain=\"example.com\" "
                        "to-ports=\"80,443\" /></cross-domain-policy>") +
                std::string(1, '\0'));
}

TEST_F(Classify, EventStreamOpensWithOneHeaderBlockRetryAndId) {
  server.FallBack().ServerSentEvents.Enabled = true;
  int connects = 0;
  std::string writtenBeforeConnect;
  auto c = NewRequest({"GET /lum/chat/events HTTP/1.1", "Accept: text/event-stream"});
  c->SetEnabledForTest(false);
  c->SetURL("http://127.0.0.1:80/lum/chat/events");
  c->SetProtocol("news,chat");
  server.OnConnect = [&](TlumWSConnection* conn) {
    ++connects;
    writtenBeforeConnect = static_cast<TTestConnection*>(conn)->AllWritten();
    conn->WriteData(std::string_view("welcome"));
  };
  EXPECT_EQ(Run(*c), 200);
  EXPECT_EQ(c->Transport(), trpSSE);
  EXPECT_TRUE(c->Enabled());
  EXPECT_EQ(c->Protocol(), "chat");
  EXPECT_EQ(connects, 1);
  const std::string header =
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
      "Cache-Control: no-cache, no-store, max-age=0, must-revalidate\r\n"
      "Expires: Fri, 01 Jan 1990 00:00:00 GMT\r\nPragma: no-cache\r\nConnection: close\r\n\r\n";
  const std::string opening = header + "retry: 3000000\r\n\r\n" + "data: " + c->Guid() +
                              "\r\n\r\n" + "data: " + c->Guid() + "\r\n\r\n";
  EXPECT_EQ(writtenBeforeConnect, opening);
  EXPECT_EQ(c->AllWritten(), opening + "data: welcome\r\n\r\n");
}

TEST_F(Classify, WatchDogProbeIsInternalAndSkipsAuthentication) {
  server.WatchDog().Enabled = true;
  server.WatchDog().Monitor.Enabled = true;
  server.Authentication().Enabled = true;
  server.SetActive(true);
  const std::string secret = server.WatchDogMonitorSecret();
  auto probe = NewRequest(Upgrade("/chat/" + secret));
  EXPECT_EQ(Run(*probe), 101);
  EXPECT_TRUE(probe->IsInternal());
  auto other = NewRequest(Upgrade("/chat/NOTTHESECRET"));
  EXPECT_EQ(Run(*other), 404);
  EXPECT_FALSE(other->IsInternal());
  EXPECT_TRUE(other->HeadersRequest().empty());
  server.SetActive(false);
}

// ---- Authentication of upgrades and session requests. ----

class Authentication : public Classify {
 protected:
  void SetUp() override {
    server.Authentication().Enabled = true;
    server.Authentication().AuthUsers = {"alice=Secret"};
  }
  TTestConnectionPtr Request(std::vector<std::string> aLines) {
    auto c = NewRequest(std::move(aLines));
    c->OnAuthentication = [this](TlumWSConnection* conn, const std::string& u,
                                 const std::string& p, bool& a) {
      server.OnServerAuthenticationEvent(conn, u, p, a);
    };
    return c;
  }
};

TEST_F(Authentication, UrlCredentialsCompareUserWithoutCaseAndPasswordExactly) {
  auto ok = Request(Upgrade("/lum/auth/url/ALICE/Secret"));
  EXPECT_EQ(Run(*ok), 101);
  EXPECT_EQ(ok->Authentication().AuthType, authURL);
  EXPECT_EQ(ok->Authentication().User, "ALICE");
  auto wrong = Request(Upgrade("/lum/auth/url/alice/secret"));
  EXPECT_EQ(Run(*wrong), 404);
  EXPECT_TRUE(wrong->HeadersRequest().empty());
  auto shortPath = Request(Upgrade("/lum/auth/url/alice"));
  EXPECT_EQ(Run(*shortPath), 404);
}

TEST_F(Authentication, SessionIdAdmitsExactlyOneUpgrade) {
  auto session = Request({"GET /lum/req/auth/session/alice/Secret HTTP/1.1"});
  EXPECT_EQ(Run(*session), 200);
  ASSERT_EQ(session->Answers.size(), 1u);
  EXPECT_EQ(session->Answers[0].Code, 200);
  EXPECT_EQ(session->Answers[0].ContentType, "text/plain");
  const std::string id = session->Authentication().SessionID();
  EXPECT_EQ(session->Answers[0].Body, id + "\r\n\r\n\r\n");
  EXPECT_EQ(server.SessionIDList(), std::vector<std::string>{id + "=alice:Secret"});

  auto first = Request(Upgrade("/lum/auth/session/" + id));
  EXPECT_EQ(Run(*first), 101);
  EXPECT_EQ(first->Authentication().User, "alice");
  EXPECT_EQ(first->Authentication().SessionID(), id);
  auto second = Request(Upgrade("/lum/auth/session/" + id));
  EXPECT_EQ(Run(*second), 404);
  EXPECT_TRUE(server.SessionIDList().empty());

  auto refused = Request({"GET /lum/req/auth/session/alice/wrong HTTP/1.1"});
  EXPECT_EQ(Run(*refused), 200);
  ASSERT_EQ(refused->Answers.size(), 1u);
  EXPECT_EQ(refused->Answers[0].Code, 404);
  EXPECT_TRUE(server.SessionIDList().empty());
}

TEST_F(Authentication, BasicCredentialsAndTheApplicationsSay) {
  server.Authentication().Basic.Enabled = true;
  auto basic = Request(Upgrade("/", {"Authorization: Basic " + Base64Encode("alice:Secret")}));
  EXPECT_EQ(Run(*basic), 101);
  EXPECT_EQ(basic->Authentication().AuthType, authBasic);
  auto extraColon = Request(Upgrade("/", {"Authorization: Basic " + Base64Encode("alice:Sec:ret")}));
  EXPECT_EQ(Run(*extraColon), 404);

  // Without Basic the header is not looked at: the application alone decides.
  server.Authentication().Basic.Enabled = false;
  std::vector<std::string> asked;
  server.OnAuthentication = [&](TlumWSConnection*, const std::string& u, const std::string&,
                                bool& a) {
    asked.push_back(u);
    a = true;
  };
  auto plain = Request(Upgrade("/"));
  EXPECT_EQ(Run(*plain), 101);
  EXPECT_EQ(asked, std::vector<std::string>{""});
}

TEST_F(Authentication, ListChecksComeBeforeTheApplicationWhichMayOverrule) {
  server.OnAuthentication = [](TlumWSConnection*, const std::string&, const std::string&,
                               bool& a) { a = !a; };
  auto listed = Request(Upgrade("/lum/auth/url/alice/Secret"));
  EXPECT_EQ(Run(*listed), 404);
  auto unlisted = Request(Upgrade("/lum/auth/url/bob/x"));
  EXPECT_EQ(Run(*unlisted), 101);
}

TEST_F(Authentication, AllowNonAuthOrAChangedCloseCodeLetsTheUpgradeThrough) {
  auto refused = Request(Upgrade("/"));
  EXPECT_EQ(Run(*refused), 404);
  auto coded = Request(Upgrade("/"));
  coded->SetAuthenticationCloseCode(4001);
  EXPECT_EQ(Run(*coded), 101);
  EXPECT_FALSE(coded->Authentication().Authenticated);
  server.Authentication().AllowNonAuth = true;
  auto allowed = Request(Upgrade("/"));
  EXPECT_EQ(Run(*allowed), 101);
}

TEST_F(Authentication, OAuth2TokenIsTheOnlyCheckWhenAServerIsAssigned) {
  struct TOAuth : IlumOAuth2Server {
    bool DoProcessHTTP(TlumWSConnection*, const std::vector<std::string>&) override { return false; }
    bool IsOAuth2TokenValid(TlumWSConnection*, const std::vector<std::string>& h) override {
      for (const auto& line : h) {
        if (line == "Authorization: Bearer good") return true;
      }
      return false;
    }
    std::string AuthorizationPath() const override { return {}; }
    std::string TokenPath() const override { return {}; }
  } oauth;
  server.Authentication().OAuth.OAuth2 = &oauth;
  auto good = Request(Upgrade("/", {"Authorization: Bearer good"}));
  EXPECT_EQ(Run(*good), 101);
  EXPECT_EQ(good->Authentication().AuthType, authOAuth2);
  auto urlOnly = Request(Upgrade("/lum/auth/url/alice/Secret"));
  EXPECT_EQ(Run(*urlOnly), 404);
}

}  // namespace
}  // namespace quillon::test
