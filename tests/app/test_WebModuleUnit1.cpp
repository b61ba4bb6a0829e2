// The application's web module and server methods: ReverseString by characters, the page
// tags, the module's paths over a request without a connection (which is not local), the
// proxy regenerated when missing or older than the program and kept otherwise, also with
// many modules asking at once, the "/test" page of the command-request handler, and the end
// of the REST sessions on Stop.
#include "app/WebModuleUnit1.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/ApplicationHandlers.h"
#include "app/ServerMethodsUnit1.h"
#include "platform/webbroker/WebFixture.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::NewExchange;

TEST(ServerMethods, ReverseByCharactersEchoUnchanged) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"abc", "cba"},
      {"", ""},
      {"a", "a"},
      {"a\xC3\xB1" "b", "b\xC3\xB1" "a"},                      // añb
      {"a\xF0\x9F\x98\x80" "b", "b\xF0\x9F\x98\x80" "a"},      // a😀b: the emoji stays whole
      {"\xE2\x82\xAC\xF0\x90\x8D\x88", "\xF0\x90\x8D\x88\xE2\x82\xAC"},
      {"x\xFFy\xC3", "\xC3y\xFFx"},                            // stray bytes move one by one
  };
  TServerMethods1 m;
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(m.ReverseString(in), out) << in;
    EXPECT_EQ(m.EchoString(in), in);
  }
  TPersistentClass cls = TServerMethods1::ClassInfo();
  EXPECT_EQ(cls->ClassName, "TServerMethods1");
  ASSERT_NE(cls->FindMethod("reversestring"), nullptr);
  EXPECT_EQ(cls->FindMethod("ReverseString")->Params, std::vector<std::string>{"Value"});
  auto instance = cls->Create();
  EXPECT_EQ(cls->FindMethod("EchoString")->Invoke(*instance, {"hi"}), "hi");
}

TEST(LocalClient, OnlyTheLoopbackAddresses) {
  for (const char* a : {"127.0.0.1", "0:0:0:0:0:0:0:1", "::1"}) EXPECT_TRUE(IsLocalClient(a)) << a;
  for (const char* a : {"127.0.0.2", "", "::ffff:127.0.0.1", "10.0.0.1", "127.0.0.1 "}) EXPECT_FALSE(IsLocalClient(a)) << a;
}

class WebModule : public ::testing::Test {
 protected:
  void SetUp() override {
    FRoot = fs::temp_directory_path() / ("module-" + std::to_string(getpid()));
    fs::remove_all(FRoot);
    fs::create_directories(FRoot / "templates");
    fs::create_directories(FRoot / "js");
    std::ofstream(FRoot / "templates" / "reversestring.html") << "RS <#serverfunctioninvoker>";
    std::ofstream(FRoot / "templates" / "serverfunctioninvoker.html") << "SFI";
    std::ofstream(FRoot / "js" / "app.js") << "app";
    SetWebApplicationDirectory(FRoot.string());
  }
  void TearDown() override { fs::remove_all(FRoot); }

  // The proxy as the module writes it.
  std::string ProxyText() { return FModule.DSProxyGenerator1->GenerateText(); }
  std::string Read(const fs::path& aPath) {
    std::ifstream in(aPath);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void SetTime(const fs::path& aPath, std::time_t aSeconds) {
    timespec times[2] = {{aSeconds, 0}, {aSeconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, aPath.c_str(), times, 0), 0);
  }

  fs::path FRoot;
  TWebModule1 FModule;
};

TEST_F(WebModule, TagsOfThePages) {
  auto e = NewExchange("GET", "/", "Host: example.test:5420\r\nREMOTE_HOST: 5420\r\n");
  FModule.DispatchAction(*e.Request, *e.Response);
  TPageProducer p;
  p.OnHTMLTag = [this](TObject* s, TTag t, const std::string& n, const TStrings& q, std::string& r) {
    FModule.ServerFunctionInvokerHTMLTag(s, t, n, q, r);
  };
  struct Case {
    const char* Template;
    const char* Content;
  };
  const Case cases[] = {
      {"[<#urlpath>]", "[]"},
      {"<#port>", "5420"},
      {"<#HOST>", "example.test:5420"},
      {"<#classname>", "TServerMethods1"},
      {"<#loginrequired>", "false"},
      {"<#serverfunctionsjs>", "/js/serverfunctions.js"},
      {"[<#serverfunctioninvoker>]", "[]"},  // no connection: not a local client
      {"[<#unknown x=1>]", "[]"},
  };
  for (const Case& c : cases) EXPECT_EQ(p.ContentFromString(c.Template), c.Content) << c.Template;
  const std::string time = p.ContentFromString("<#servertime>");
  EXPECT_GE(time.size(), 8u) << time;
  EXPECT_NE(time.find(':'), std::string::npos) << time;
}

TEST_F(WebModule, PathsOfARemoteClient) {
  struct Case {
    std::string Path;
    std::string Body;
    int Status;
  };
  const std::vector<Case> cases = {
      {"/", "RS ", 0},
      {"/ReverseString", "RS ", 0},
      {"/reversestring", "RS ", 0},
      {"/js/app.js", "app", 200},
      {"/js/missing.js", "", 404},
  };
  for (const Case& c : cases) {
    auto e = NewExchange("GET", c.Path);
    ASSERT_TRUE(FModule.DispatchAction(*e.Request, *e.Response)) << c.Path;
    EXPECT_EQ(e.Body(), c.Body) << c.Path;
    EXPECT_EQ(e.Response->StatusCode(), c.Status) << c.Path;
    EXPECT_FALSE(e.Response->Sent()) << c.Path;
  }
  // Redirected to "/" (sent at once): the invoker for a remote client, unknown paths, templates.
  for (const char* path : {"/ServerFunctionInvoker", "/nothing", "/templates/reversestring.html", "/test/"}) {
    auto e = NewExchange("GET", path);
    ASSERT_TRUE(FModule.DispatchAction(*e.Request, *e.Response)) << path;
    EXPECT_TRUE(e.Response->Sent()) << path;
    EXPECT_EQ(e.Body(), "") << path;
  }
  EXPECT_FALSE(FModule.ServerFunctionInvokerAction()->Enabled);
}

TEST_F(WebModule, ProxyMadeWhenMissingOrOlderThanTheProgram) {
  const fs::path proxy = FRoot / "js" / "serverfunctions.js";
  auto get = [this] {
    auto e = NewExchange("GET", "/js/serverfunctions.js");
    EXPECT_TRUE(FModule.DispatchAction(*e.Request, *e.Response));
    EXPECT_EQ(e.Response->ContentType(), "text/javascript");
    return e.Body();
  };
  EXPECT_EQ(get(), ProxyText());
  EXPECT_EQ(Read(proxy), ProxyText());

  std::ofstream(proxy) << "stale";
  SetTime(proxy, 946684800);  // 2000: older than any build of the program
  EXPECT_EQ(get(), ProxyText());

  std::ofstream(proxy) << "hand-made";
  SetTime(proxy, std::time(nullptr) + 86400);  // newer than the program: kept
  EXPECT_EQ(get(), "hand-made");

  // Below any folder the name counts, letter case ignored.
  fs::create_directories(FRoot / "other");
  auto e = NewExchange("GET", "/other/SERVERFUNCTIONS.JS");
  EXPECT_TRUE(FModule.DispatchAction(*e.Request, *e.Response));
  EXPECT_EQ(e.Body(), ProxyText());
}

TEST_F(WebModule, ModulesAskingAtOnceAllGetTheWholeProxy) {
  const fs::path proxy = FRoot / "js" / "serverfunctions.js";
  for (int round = 0; round < 3; ++round) {
    std::ofstream(proxy) << "stale";
    SetTime(proxy, 946684800);
    std::vector<std::string> bodies(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&bodies, i] {
        TWebModule1 m;
        auto e = NewExchange("GET", "/js/serverfunctions.js");
        m.DispatchAction(*e.Request, *e.Response);
        bodies[i] = e.Body();
      });
    }
    for (auto& t : threads) t.join();
    for (const std::string& b : bodies) EXPECT_EQ(b, ProxyText());
  }
}

TEST_F(WebModule, AMissingTemplateFails) {
  fs::remove(FRoot / "templates" / "reversestring.html");
  auto e = NewExchange("GET", "/");
  EXPECT_THROW(FModule.DispatchAction(*e.Request, *e.Response), EWebBrokerException);
}

TEST(CommandRequest, OnlyTheExactDocumentTest) {
  for (const char* doc : {"/test", "/test/", "/TEST", "/tes", "/test2", ""}) {
    THttpServerRequest q;
    q.Document = doc;
    THttpServerResponse r;
    bool handled = false;
    OnCommandRequestEvent(nullptr, q, r, handled);
    const bool exact = std::string(doc) == "/test";
    EXPECT_EQ(handled, exact) << doc;
    EXPECT_EQ(r.ResponseNo, exact ? 200 : 0) << doc;
    EXPECT_EQ(r.ContentText, exact ? "<html><head><title>Quillon Custom Page</title></head><body>... body ...</body></html>"
                                   : "")
        << doc;
  }
}

TEST(StopButton, TerminateSessionsEndsEveryRestSession) {
  TerminateSessions();  // no manager yet, or an empty one: nothing to do
  TDSSessionManager& sessions = TDSSessionManager::GetOrCreate();
  const std::string a = sessions.OpenSession(""), b = sessions.OpenSession("");
  ASSERT_TRUE(sessions.HasSession(a) && sessions.HasSession(b));
  TerminateSessions();
  EXPECT_EQ(sessions.SessionCount(), 0u);
  EXPECT_NE(sessions.OpenSession(a), a);
}

}  // namespace
}  // namespace quillon
