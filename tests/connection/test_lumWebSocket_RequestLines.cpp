// Request-line and header-line tests, masks and strict comma splitting.
#include <gtest/gtest.h>

#include "connection/lumWebSocket_RequestLines.h"

namespace quillon {
namespace {

TEST(Masks, FileNameStyle) {
  struct {
    const char* Text;
    const char* Mask;
    bool Matches;
  } cases[] = {
      {"GET / HTTP/1.1", "*HTTP/1.*", true}, {"GET / HTTP/2", "*HTTP/1.*", false},
      {"abc", "abc", true},                  {"ABC", "abc", true},
      {"abcd", "abc", false},                {"", "*", true},
      {"a.b.c", "*.c", true},                {"aXbXc", "a*b*c", true},
      {"aXbXd", "a*b*c", false},             {"Upgrade: WebSocket", "*websocket", true},
      {"x.example.com", "*.example.com", true}, {"example.com", "*.example.com", false},
  };
  for (const auto& tc : cases) EXPECT_EQ(MatchesMask(tc.Text, tc.Mask), tc.Matches) << tc.Text << " ~ " << tc.Mask;
}

TEST(Masks, StrictSplitting) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitDelimited("a,b"), (V{"a", "b"}));
  EXPECT_EQ(SplitDelimited("a, b"), (V{"a", " b"}));
  EXPECT_EQ(SplitDelimited("\"x,y\",z"), (V{"x,y", "z"}));
  EXPECT_EQ(SplitDelimited("\"say \"\"hi\"\"\""), (V{"say \"hi\""}));
  EXPECT_EQ(SplitDelimited("a,"), (V{"a", ""}));
  EXPECT_EQ(SplitDelimited(""), V{});
}

TEST(RequestLines, Table) {
  const TlumHeaderLines ws = {"GET /lum/req/auth/session/abc HTTP/1.1", "Host: h",
                              "Upgrade: websocket", "Connection: Upgrade"};
  const TlumHeaderLines post = {"POST /lum/xhr/send HTTP/1.1", "Accept: text/event-stream"};
  const TlumHeaderLines proto = {"POST /lum/protocol/x HTTP/1.1"};
  const TlumHeaderLines flash = {"<policy-file-request/>"};
  const TlumHeaderLines plain = {"GET /lum/auth/url/x?y HTTP/1.1", "Authorization: Basic dTpw"};
  const TlumHeaderLines session = {"GET /lum/auth/session/ HTTP/1.1"};

  EXPECT_TRUE(IsHTTP1Request(ws));
  EXPECT_FALSE(IsHTTP1Request(flash));
  EXPECT_EQ(GetRequestLine(ws), ws[0]);
  EXPECT_EQ(GetRequestLine(post), "");
  EXPECT_EQ(GetRequestDocument(ws), "/lum/req/auth/session/abc");
  EXPECT_EQ(GetPostLine(post), post[0]);
  EXPECT_EQ(GetPostDocument(post), "/lum/xhr/send");
  EXPECT_EQ(GetResourceName("GET /files/Quillon.js HTTP/1.1"), "Quillon.js");
  EXPECT_TRUE(IsWebSocketRequest(ws));
  EXPECT_FALSE(IsWebSocketRequest(plain));
  EXPECT_TRUE(IsAuthSessionRequest(ws));
  EXPECT_FALSE(IsSessionRequest(ws));
  EXPECT_TRUE(IsSessionRequest(session));
  EXPECT_TRUE(IsAuthURLRequest(plain));
  EXPECT_TRUE(IsXHRRequest(post));
  EXPECT_FALSE(IsXHRRequest(proto));
  EXPECT_TRUE(IsProtocolPostRequest(proto));
  EXPECT_TRUE(IsFlashPolicyRequest(flash));
  EXPECT_TRUE(IsEventStreamRequest(post));
  EXPECT_FALSE(IsEventStreamRequest(ws));
  EXPECT_TRUE(IsWatchDogMonitor({"GET /abc123/x HTTP/1.1"}, "abc123"));
  EXPECT_FALSE(IsWatchDogMonitor({"GET /abc12/x HTTP/1.1"}, "abc123"));
  EXPECT_TRUE(HasBasicAuthorization(plain));
  EXPECT_EQ(GetBasicAuthorization(plain), "u:p");
  EXPECT_EQ(GetBasicAuthorization(ws), "");
  EXPECT_TRUE(HasAuthorization(plain));
  EXPECT_FALSE(HasAuthorization(ws));
}

TEST(RequestLines, BearerToken) {
  EXPECT_EQ(GetBearerToken({"GET / HTTP/1.1", "Authorization: Bearer tok123"}), "tok123");
  // The form-field spelling: the value starts after the marker and one separator.
  EXPECT_EQ(GetBearerToken({"GET / HTTP/1.1", "authorization=bearer tok"}), "tok");
  EXPECT_EQ(GetBearerToken({"GET / HTTP/1.1"}), "");
}

}  // namespace
}  // namespace quillon
