#include "server/lumWebSocket_HTTPResponse.h"

#include <gtest/gtest.h>

#include "platform/win32/Resources.h"
#include "server/ServerFixture.h"

namespace quillon::test {
namespace {

class TTestDocument : public TlumWSHTTPResponse_Base {
 public:
  static std::string_view GetFileName() { return "Test.html"; }
  std::string GetContent() override { return "<p>{%HOST%}:{%port%} http{%Ssl%}://{%host%}/</p>"; }
};

class TEmptyDocument : public TlumWSHTTPResponse_Base {
 public:
  static std::string_view GetFileName() { return "Empty.css"; }
  std::string GetContent() override { return {}; }
};

class BuiltIn : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TlumWSHTTPResponse::RegisterFileName(
        {&TTestDocument::GetFileName, [] { return std::unique_ptr<TlumWSHTTPResponse_Base>(new TTestDocument); }});
    TlumWSHTTPResponse::RegisterFileName(
        {&TEmptyDocument::GetFileName, [] { return std::unique_ptr<TlumWSHTTPResponse_Base>(new TEmptyDocument); }});
  }
  static std::string Resource(std::string_view aName) {
    const auto r = platform::FindResourceByName(aName);
    return r ? std::string(*r) : std::string();
  }
  TTestServer server;
};

TEST_F(BuiltIn, ResponseMessageJoinsKnownDocumentsInTheOrderAsked) {
  const std::string doc = "<p>{%HOST%}:{%port%} http{%Ssl%}://{%host%}/</p>";
  EXPECT_EQ(TlumWSHTTPResponse::GetResponseMessage("test.HTML"), doc + "\r\n");
  EXPECT_EQ(TlumWSHTTPResponse::GetResponseMessage("nothing.js,Test.html,Empty.css,Test.html"),
            doc + "\r\n" + doc + "\r\n");
  EXPECT_EQ(TlumWSHTTPResponse::GetResponseMessage("nothing.js"), "");
  EXPECT_EQ(TlumWSHTTPResponse::GetResponseMessage(""), "");
}

TEST_F(BuiltIn, PlaceholdersIgnoreCaseAndBracketIPv6) {
  EXPECT_EQ(ReplaceDocumentPlaceholders("ws{%SSL%}://{%Host%}:{%PORT%}/{%other%}{%host", "10.0.0.5",
                                        5420, true),
            "wss://10.0.0.5:5420/{%other%}{%host");
  EXPECT_EQ(ReplaceDocumentPlaceholders("{%host%}:{%port%}{%ssl%}", "::1", 80, false), "[::1]:80");
}

TEST_F(BuiltIn, ServedDocumentIsFilledAnsweredAndClosed) {
  auto c = NewRequest({"GET /Test.html HTTP/1.1"});
  c->SetURL("HTTPS://example:5420/Test.html");
  c->LocalAddress = "192.168.1.9";
  c->LocalPortNumber = 5420;
  EXPECT_TRUE(server.DoBuiltInDocument(c.get(), "GET /dir/test.html HTTP/1.1", false));
  ASSERT_EQ(c->Answers.size(), 1u);
  EXPECT_EQ(c->Answers[0].Code, 200);
  EXPECT_EQ(c->Answers[0].ContentType, "text/html; charset=utf-8");
  EXPECT_EQ(c->Answers[0].Body, "<p>192.168.1.9:5420 https://192.168.1.9/</p>\r\n");
  EXPECT_EQ(c->DisconnectPeerCount, 1);
}

TEST_F(BuiltIn, RequestLineTable) {
  struct Case {
    const char* Line;
    bool NotFound;
    bool Result;
    int Answer;  // 0: nothing sent
  };
  const Case cases[] = {
      {"GET /Test.html HTTP/1.1", false, true, 200},
      {"GET /Test.html?a=1 HTTP/1.1", false, false, 0},
      {"GET /Missing.html HTTP/1.1", false, false, 0},
      {"GET /Missing.html HTTP/1.1", true, true, 404},
      {"GET /Empty.css HTTP/1.1", false, false, 0},
      {"GET /favicon.ico HTTP/1.1", false, false, 0},
      {"GET /favicon.ico HTTP/1.1", true, true, 404},
      {"GET /other HTTP/1.1", true, false, 0},
      {"", false, false, 0},
  };
  for (const Case& tc : cases) {
    auto c = NewRequest({tc.Line});
    EXPECT_EQ(server.DoBuiltInDocument(c.get(), tc.Line, tc.NotFound), tc.Result) << tc.Line;
    if (tc.Answer == 0) {
      EXPECT_TRUE(c->Answers.empty()) << tc.Line;
    } else {
      ASSERT_EQ(c->Answers.size(), 1u) << tc.Line;
      EXPECT_EQ(c->Answers[0].Code, tc.Answer) << tc.Line;
    }
  }
}

TEST_F(BuiltIn, LibraryComesWithTheEnabledTransportsFirst) {
  const std::string library = Resource("LUM_JS_QUILLON");
  const std::string sse = Resource("LUM_JS_QUILLONEVENTSOURCE");
  const std::string flash = Resource("LUM_JS_QUILLONFLASH");
  // Compiled in by resources/resources.txt: missing is a fault of the build.
  ASSERT_FALSE(library.empty() || sse.empty() || flash.empty()) << "documents not compiled in";
  auto fill = [](const std::string& s) { return ReplaceDocumentPlaceholders(s, "127.0.0.1", 80, false); };
  struct Case {
    bool Flash, SSE;
    std::string Expected;
  };
  const Case cases[] = {
      {false, false, fill(library) + "\r\n"},
      {true, false, fill(flash) + "\r\n" + fill(library) + "\r\n"},
      {true, true, fill(sse) + "\r\n" + fill(flash) + "\r\n" + fill(library) + "\r\n"},
  };
  for (const Case& tc : cases) {
    server.FallBack().Flash.Enabled = tc.Flash;
    server.FallBack().ServerSentEvents.Enabled = tc.SSE;
    auto c = NewRequest({});
    ASSERT_TRUE(server.DoBuiltInDocument(c.get(), "GET /any/dir/quillon.JS HTTP/1.1", false));
    ASSERT_EQ(c->Answers.size(), 1u);
    EXPECT_EQ(c->Answers[0].ContentType, "text/javascript");
    EXPECT_EQ(c->Answers[0].Body, tc.Expected) << tc.Flash << tc.SSE;
  }
}

TEST_F(BuiltIn, TestPageOverTlsPointsAtTheLibraryOnTheSameAddress) {
  ASSERT_FALSE(Resource("LUM_HTML_QUILLON").empty()) << "document not compiled in";
  auto c = NewRequest({});
  c->SetURL("https://127.0.0.1:5420/Quillon.html");
  c->LocalPortNumber = 5420;
  ASSERT_TRUE(server.DoBuiltInDocument(c.get(), "GET /Quillon.html HTTP/1.1", false));
  ASSERT_EQ(c->Answers.size(), 1u);
  const std::string& page = c->Answers[0].Body;
  EXPECT_NE(page.find("https://127.0.0.1:5420/Quillon.js"), std::string::npos);
  EXPECT_EQ(page.find("{%"), std::string::npos);
}

TEST_F(BuiltIn, MovieIsServedAsFlash) {
  const std::string movie = Resource(kMovieResourceName);
  auto c = NewRequest({});
  EXPECT_TRUE(server.DoBuiltInDocument(c.get(), "GET /lum/WebSocketMain.swf HTTP/1.1", false));
  ASSERT_EQ(c->Answers.size(), 1u);
  // The movie of resources/WebSocketMain.swf, byte for byte: an uncompressed SWF 10 whose
  // header gives its own length.
  const std::string expected(
      "FWS\x0a\x23\x00\x00\x00\x70\x00\x08\x66\x00\x00\x56\x40"
      "\x00\x18\x01\x00\x44\x11\x08\x00\x00\x00\x43\x02\xff\xff\xff\x40"
      "\x00\x00\x00",
      35);
  EXPECT_EQ(movie, expected);
  EXPECT_EQ(c->Answers[0].Code, 200);
  EXPECT_EQ(c->Answers[0].ContentType, "application/x-shockwave-flash");
  EXPECT_EQ(c->Answers[0].Body, expected);
  EXPECT_EQ(c->DisconnectPeerCount, 1);
}

}  // namespace
}  // namespace quillon::test
