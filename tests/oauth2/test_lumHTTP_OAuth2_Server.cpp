// The OAuth2 component in-process: the application registry, parameter reading, endpoint
// matching, the six events and the purge of expired and abandoned requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <regex>
#include <thread>

#include "connection/MemoryConnection.h"
#include "oauth2/lumHTTP_OAuth2_Server.h"

namespace quillon {
namespace {

using test::TMemoryConnection;

// Keeps what the component answers.
class TRecorder : public TMemoryConnection {
 public:
  int Status = 0;
  std::string Body, Location;
  void SendHTTPContent(std::string_view aContent, std::string_view) override {
    Status = 200;
    Body = aContent;
  }
  void SendHTTPStatus(int aCode, std::string_view) override { Status = aCode; }
  void SendHTTPRedirect(std::string_view aURL) override {
    Status = 302;
    Location = aURL;
  }
};

struct TFreeRecorder {
  void operator()(TRecorder* c) const { c->Free(); }
};

class OAuth2Server : public ::testing::Test {
 protected:
  void SetUp() override {
    FServer.Apps().AddApp("First", "https://one/cb", "id-1", "s1", 3600, true);
    FServer.Apps().AddApp("Second", "https://two/cb", "id-2", "s2", 3600, false);
    FServer.OnOAuth2Authentication = [](TlumWSConnection*, TlumHTTPOAuth2Request*,
                                        const std::string& u, const std::string&, bool& a) {
      a = u != "refused";
    };
  }

  TRecorder& Call(const std::vector<std::string>& aLines, bool aExpectHandled = true) {
    FConnection.reset(new TRecorder());
    FConnection->HeadersRequest() = aLines;
    EXPECT_EQ(FServer.DoProcessHTTP(FConnection.get(), aLines), aExpectHandled) << aLines[0];
    return *FConnection;
  }
  TRecorder& Get(const std::string& aTarget) { return Call({"GET " + aTarget + " HTTP/1.1", "Host: x"}); }
  // A request id from the page for client id-2.
  std::string NewRequest(const std::string& aScope = "s") {
    const std::string page = Get("/lum/oauth2/auth?client_id=id-2&scope=" + aScope).Body;
    std::smatch m;
    EXPECT_TRUE(std::regex_search(page, m, std::regex("name=\"id\" value=\"([0-9a-f]{64})\"")));
    return m[1];
  }

  TlumHTTP_OAuth2_Server FServer;
  std::unique_ptr<TRecorder, TFreeRecorder> FConnection;
};

TEST(OAuthRegistry, LooksUpByClientIdAndRegistersWithNewIdentifiers) {
  TlumHTTPComponentServer_OAuth registry;
  registry.Apps().AddApp("Name1", "r1", "id-1", "s1", 10, false);
  registry.Apps().AddApp("Name2", "r2", "id-2", "s2", 20, true);
  ASSERT_NE(registry.GetApp("id-2"), nullptr);
  EXPECT_EQ(registry.GetApp("id-2")->AppName, "Name2");
  EXPECT_EQ(registry.GetApp("Name1"), nullptr);  // names are not keys
  EXPECT_EQ(registry.GetApp("ID-1"), nullptr);   // exact comparison
  EXPECT_FALSE(registry.UnRegisterApp("nobody"));
  EXPECT_EQ(registry.Apps().Count(), 2);

  std::string id, secret;
  ASSERT_TRUE(registry.RegisterApp("Fresh", "r3", id, secret));
  const std::regex hex32("[0-9A-F]{32}");
  EXPECT_TRUE(std::regex_match(id, hex32)) << id;
  EXPECT_TRUE(std::regex_match(secret, hex32)) << secret;
  EXPECT_NE(id, secret);
  const TlumHTTPOAuthApp* app = registry.GetApp(id);
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->AppName, "Fresh");
  EXPECT_EQ(app->ExpiresIn, 3600);
  EXPECT_TRUE(app->RefreshToken);
  EXPECT_FALSE(registry.RegisterApp("id-1", "r", id, secret));  // an existing client id
  EXPECT_TRUE(registry.UnRegisterApp("id-1"));
  EXPECT_EQ(registry.GetApp("id-1"), nullptr);
}

TEST(OAuth2Params, DecodesSplitsAndMatches) {
  using namespace oauth2_detail;
  const auto p = SplitParams("a=1&b=x%20y+z&c=%2B%3D%26&d&\"e=q r\" f=%zz&=v");
  const std::vector<std::pair<std::string, std::string>> want{
      {"a", "1"}, {"b", "x y z"}, {"c", "+=&"}, {"d", ""}, {"e", "q r"}, {"f", "%zz"}, {"", "v"}};
  EXPECT_EQ(p, want);
  EXPECT_EQ(PercentEncode("a b&c/é"), "a%20b%26c%2F%C3%A9");
  EXPECT_EQ(HTMLEscape("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");

  struct Case {
    std::vector<std::string> lines;
    const char* method;
    bool match;
  };
  const Case cases[] = {
      {{"GET /lum/oauth2/auth?x=1 HTTP/1.1"}, "GET", true},
      {{"get /LUM/OAUTH2/AUTH HTTP/1.1"}, "GET", true},
      {{"POST /lum/oauth2/auth HTTP/1.1"}, "GET", false},
      {{"GET /lum/oauth2/authx HTTP/1.1"}, "GET", false},
      {{"GET /lum/oauth2/aut HTTP/1.1"}, "GET", false},
      {{"GET /x HTTP/1.1", "Referer: https://h/lum/oauth2/auth?target=1"}, "GET", false},
      {{":method=GET", ":path=/lum/oauth2/auth?client_id=a"}, "GET", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesEndpoint(c.lines, c.method, "/lum/oauth2/auth"), c.match) << c.lines[0];
  }
  EXPECT_EQ(RequestQuery({":method=GET", ":path=/p?a=1&b=2"}), "a=1&b=2");
  EXPECT_EQ(RequestQuery({"GET /p?a=1 HTTP/1.1"}), "a=1");
  EXPECT_EQ(RequestQuery({"GET /p HTTP/1.1"}), "");
}

TEST_F(OAuth2Server, PageAndSignInFollowTheRequestsState) {
  EXPECT_EQ(Get("/lum/oauth2/auth").Status, 404);
  EXPECT_EQ(Get("/lum/oauth2/auth?client_id=First").Status, 404);
  EXPECT_EQ(FServer.Requests().Count(), 0);

  // A name given twice keeps its last value; the registered URI fills in a missing one.
  const std::string id = NewRequest("one&scope=two");
  EXPECT_NE(FConnection->Body.find("Scopes: two"), std::string::npos);
  EXPECT_EQ(FServer.Requests().Count(), 1);
  TRecorder& refused = Get("/lum/oauth2/auth?request_type=sign-in&username=refused&id=" + id);
  EXPECT_EQ(refused.Status, 404);
  // The failed sign-in used the request up: the next one is told so, and the request goes.
  TRecorder& again = Get("/lum/oauth2/auth?request_type=sign-in&username=u&id=" + id);
  EXPECT_EQ(again.Status, 302);
  EXPECT_EQ(again.Location, "https://two/cb?error=invalid_request");
  EXPECT_EQ(FServer.Requests().Count(), 0);
  EXPECT_EQ(Get("/lum/oauth2/auth?request_type=sign-in&id=" + id).Status, 404);

  FServer.OnOAuth2BeforeDispatchPage = [](void*, TlumHTTPOAuth2Request*, std::string& html) {
    html.clear();
  };
  EXPECT_EQ(Get("/lum/oauth2/auth?client_id=id-2").Status, 404);
  EXPECT_EQ(FServer.Requests().Count(), 0);
}

TEST_F(OAuth2Server, EventsSeeTheExchangeAndMayRefuseTokens) {
  std::string afterAccess, afterRefresh;
  FServer.OnOAuth2AfterAccessToken = [&](void*, TlumWSConnection*, TlumHTTPOAuth2Request* r,
                                         const std::string& json) {
    afterAccess = (r != nullptr ? "request " : "null ") + json;
  };
  FServer.OnOAuth2AfterRefreshToken = [&](void*, TlumWSConnection*, TlumHTTPOAuth2Request*,
                                          const std::string& json) { afterRefresh = json; };
  const std::string id = NewRequest();
  const std::string location = Get("/lum/oauth2/auth?request_type=sign-in&username=u&id=" + id).Location;
  const std::string code = location.substr(location.find("code=") + 5, 32);

  Call({"POST /lum/oauth2/token HTTP/1.1", "", "grant_type=authorization_code&code=bad"});
  EXPECT_EQ(afterAccess.rfind("null {\"error\":\"invalid_request\"", 0), 0u) << afterAccess;
  Call({"POST /lum/oauth2/token HTTP/1.1", "", "grant_type=authorization_code&code=" + code +
                                                   "&redirect_uri=https%3A%2F%2Ftwo%2Fcb&client_id=id-2&client_secret=s2"});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(afterAccess, m, std::regex("\"access_token\":\"([0-9a-f]{64})\"")))
      << afterAccess;
  const std::string access = m[1];
  // This application has no refresh tokens.
  EXPECT_EQ(afterAccess.find("refresh_token"), std::string::npos);
  EXPECT_EQ(afterAccess.rfind("request ", 0), 0u);

  std::vector<std::string> bearer{"GET / HTTP/1.1", "Authorization: Bearer " + access};
  EXPECT_TRUE(FServer.IsOAuth2TokenValid(nullptr, bearer));
  bool refuse = true;
  FServer.OnOAuth2AfterValidateAccessToken = [&](void*, TlumWSConnection*, TlumHTTPOAuth2Request*,
                                                 bool& valid) { valid = !refuse; };
  EXPECT_FALSE(FServer.IsOAuth2TokenValid(nullptr, bearer));
  refuse = false;
  EXPECT_TRUE(FServer.IsOAuth2TokenValid(nullptr, bearer));

  Call({"POST /lum/oauth2/token HTTP/1.1", "", "grant_type=refresh_token&refresh_token=x"});
  EXPECT_NE(afterRefresh.find("Refresh Token not found x"), std::string::npos) << afterRefresh;

  // Cancel answers nothing, and lets every token through.
  FServer.OnOAuth2BeforeRequest = [](void*, TlumWSConnection*, const std::vector<std::string>&,
                                     bool& cancel) { cancel = true; };
  TRecorder& cancelled = Call({"GET /lum/oauth2/auth?client_id=id-2 HTTP/1.1"});
  EXPECT_EQ(cancelled.Status, 0);
  EXPECT_TRUE(FServer.IsOAuth2TokenValid(nullptr, std::string("anything")));
  FServer.OnOAuth2BeforeRequest = nullptr;
  Call({"GET /elsewhere HTTP/1.1"}, false);
  EXPECT_EQ(FConnection->Status, 0);
}

TEST_F(OAuth2Server, ExpiredTokensAndAbandonedRequestsArePurged) {
  FServer.Apps().AddApp("Short", "https://s/cb", "short", "ss", 1, true);
  auto issue = [&] {
    const std::string page = Get("/lum/oauth2/auth?client_id=short").Body;
    const std::string id = page.substr(page.find("name=\"id\" value=\"") + 17, 64);
    const std::string loc = Get("/lum/oauth2/auth?request_type=sign-in&id=" + id).Location;
    Call({"POST /lum/oauth2/token HTTP/1.1", "",
          "grant_type=authorization_code&code=" + loc.substr(loc.find("code=") + 5, 32) +
              "&redirect_uri=https://s/cb&client_id=short&client_secret=ss"});
    return FServer.Requests().Count();
  };
  EXPECT_EQ(issue(), 1);
  NewRequest();  // never goes further
  EXPECT_EQ(FServer.Requests().Count(), 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_FALSE(FServer.IsOAuth2TokenValid(nullptr, std::string(64, 'a')));
  EXPECT_EQ(FServer.Requests().Count(), 1);  // the expired one went, the fresh pending one stays

  // Pending requests older than the limit go too, on the next check.
  auto old = std::make_shared<TlumHTTPOAuth2Request>();
  old->App = FServer.GetApp("id-2");
  old->SetCreated(std::chrono::steady_clock::now() - TlumHTTPComponentServer_OAuth2::kPendingLifetime -
                  std::chrono::seconds(1));
  {
    std::lock_guard lock(FServer.Requests().Lock());
    FServer.Requests().AddItemLocked(old);
  }
  EXPECT_EQ(FServer.Requests().Count(), 2);
  EXPECT_FALSE(FServer.IsOAuth2TokenValid(nullptr, std::string(64, 'b')));
  EXPECT_EQ(FServer.Requests().Count(), 1);
}

TEST_F(OAuth2Server, OneCodeExchangedAtOnceGivesOneToken) {
  std::mutex lock;
  std::vector<std::string> answers;
  FServer.OnOAuth2AfterAccessToken = [&](void*, TlumWSConnection*, TlumHTTPOAuth2Request*,
                                         const std::string& json) {
    std::lock_guard hold(lock);
    answers.push_back(json);
  };
  for (int round = 0; round < 20; ++round) {
    answers.clear();
    const std::string id = NewRequest();
    const std::string loc = Get("/lum/oauth2/auth?request_type=sign-in&id=" + id).Location;
    const std::vector<std::string> lines{
        "POST /lum/oauth2/token HTTP/1.1", "",
        "grant_type=authorization_code&code=" + loc.substr(loc.find("code=") + 5, 32) +
            "&redirect_uri=https://two/cb&client_id=id-2&client_secret=s2"};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i) {
      threads.emplace_back([&] { FServer.DoProcessHTTP(nullptr, lines); });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(answers.size(), 6u);
    const auto tokens = std::count_if(answers.begin(), answers.end(), [](const std::string& a) {
      return a.find("\"access_token\"") != std::string::npos;
    });
    EXPECT_EQ(tokens, 1) << round;
  }
}

TEST_F(OAuth2Server, PendingRequestsWithoutTokenAreCapped) {
  const std::string first = NewRequest();
  {
    std::lock_guard lock(FServer.Requests().Lock());
    for (std::size_t i = 0; i < TlumHTTPComponentServer_OAuth2::kMaxPending; ++i) {
      FServer.Requests().AddItemLocked(std::make_shared<TlumHTTPOAuth2Request>());
    }
  }
  const std::string last = NewRequest();
  EXPECT_EQ(static_cast<std::size_t>(FServer.Requests().Count()),
            TlumHTTPComponentServer_OAuth2::kMaxPending);
  // The oldest made room; the newest still signs in.
  EXPECT_EQ(Get("/lum/oauth2/auth?request_type=sign-in&id=" + first).Status, 404);
  EXPECT_EQ(Get("/lum/oauth2/auth?request_type=sign-in&id=" + last).Status, 302);
}

}  // namespace
}  // namespace quillon
