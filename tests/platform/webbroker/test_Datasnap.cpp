// The REST framework: calls through the REST dispatcher with path and body arguments and
// every error it answers, the JSON text of answers and argument lists, REST sessions, and
// the proxy generator's text, exclusions and whole-file writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/webbroker/Datasnap_DSHTTPWebBroker.h"
#include "platform/webbroker/Datasnap_DSProxyGenerator.h"
#include "platform/webbroker/WebFixture.h"

namespace quillon {
namespace {

using test::NewExchange;

class TCalc : public TComponent {};

TPersistentClass CalcClass() {
  static const TDSClassInfo info{
      "TCalc",
      [] { return std::unique_ptr<TComponent>(std::make_unique<TCalc>()); },
      {{"Join", {"A", "B"}, "string",
        [](TComponent&, const std::vector<std::string>& a) { return a.at(0) + "|" + a.at(1); }},
       {"Fail", {}, "string", [](TComponent&, const std::vector<std::string>&) -> std::string {
          throw std::runtime_error("it \"failed\"");
        }}}};
  return &info;
}

TPersistentClass MetadataClass() {
  static const TDSClassInfo info{"DSMetadata", [] { return std::unique_ptr<TComponent>(std::make_unique<TCalc>()); },
                                 {{"List", {}, "string", [](TComponent&, const std::vector<std::string>&) {
                                     return std::string("meta");
                                   }}}};
  return &info;
}

struct TRestFixture {
  TDSServer Server;
  TDSServerClass Calc{&Server};
  TDSServerClass Meta{&Server};
  TDSHTTPWebDispatcher Dispatcher;
  TRestFixture() {
    Calc.OnGetClass = [](TDSServerClass*, TPersistentClass& c) { c = CalcClass(); };
    Meta.OnGetClass = [](TDSServerClass*, TPersistentClass& c) { c = MetadataClass(); };
    Dispatcher.Server = &Server;
  }
};

TEST(RestDispatcher, CallsAndErrors) {
  struct Case {
    std::string Method, Path, Body;
    int Status;
    std::string Answer;
  };
  const std::vector<Case> cases = {
      {"GET", "/datasnap/rest/TCalc/Join/a/b", "", 200, R"({"result":["a|b"]})"},
      {"GET", "/DataSnap/REST/tcalc/join/x/", "", 200, R"({"result":["x|"]})"},
      {"GET", "/datasnap/rest/TCalc/Join/\xC3\xA9/\"\\", "", 200, "{\"result\":[\"\xC3\xA9|\\\"\\\\\"]}"},
      {"POST", "/datasnap/rest/TCalc/Join", R"({"_parameters":["a/b","\u00e9\ud83d\ude00"],"x":{"y":[1]}})", 200,
       "{\"result\":[\"a/b|\xC3\xA9\xF0\x9F\x98\x80\"]}"},
      {"POST", "/datasnap/rest/TCalc/Join", R"(["1", 2])", 200, R"({"result":["1|2"]})"},
      {"POST", "/datasnap/rest/TCalc/Join", "[\"1\"", 400, R"({"error":"The body is not a JSON array of arguments"})"},
      {"POST", "/datasnap/rest/TCalc/Join", R"({"other":[]})", 400,
       R"({"error":"The body is not a JSON array of arguments"})"},
      {"GET", "/datasnap/rest/TCalc/Join/a", "", 400, R"({"error":"TCalc.Join takes 2 argument(s), not 1"})"},
      {"GET", "/datasnap/rest/TCalc/Nope/a", "", 404, R"({"error":"Server method TCalc.Nope not found"})"},
      {"GET", "/datasnap/rest/TNone/Join/a/b", "", 404, R"({"error":"Server method TNone.Join not found"})"},
      {"GET", "/datasnap/other/TCalc/Join/a/b", "", 404, R"({"error":"No REST resource at /datasnap/other/TCalc/Join/a/b"})"},
      {"GET", "/datasnap", "", 404, R"({"error":"No REST resource at /datasnap"})"},
      {"DELETE", "/datasnap/rest/TCalc/Join/a/b", "", 405, R"({"error":"Use GET or POST to call a server method"})"},
      {"GET", "/datasnap/rest/TCalc/Fail", "", 500, R"({"error":"it \"failed\""})"},
  };
  for (const Case& c : cases) {
    TRestFixture f;
    auto e = NewExchange(c.Method, c.Path, "", c.Body);
    ASSERT_TRUE(f.Dispatcher.DispatchMask(*e.Request)) << c.Path;
    EXPECT_TRUE(f.Dispatcher.DispatchRequest(nullptr, *e.Request, *e.Response)) << c.Path;
    EXPECT_EQ(e.Response->StatusCode(), c.Status) << c.Method << " " << c.Path;
    EXPECT_EQ(e.Response->Content(), c.Answer) << c.Method << " " << c.Path;
    EXPECT_EQ(e.Response->ContentType(), "application/json");
  }
  TRestFixture f;
  for (const char* path : {"/", "/data", "/snap/datasnap"}) {
    auto e = NewExchange("GET", path);
    EXPECT_FALSE(f.Dispatcher.DispatchMask(*e.Request)) << path;
  }
}

TEST(RestDispatcher, SessionsAreNamedKeptAndEnded) {
  TRestFixture f;
  auto first = NewExchange("GET", "/datasnap/rest/TCalc/Join/a/b");
  f.Dispatcher.DispatchRequest(nullptr, *first.Request, *first.Response);
  const std::string pragma = first.Response->CustomHeaders().Values("Pragma");
  ASSERT_EQ(pragma.rfind("dssession=", 0), 0u) << pragma;
  const std::string id = pragma.substr(10);
  EXPECT_EQ(id.size(), 32u);
  TDSSessionManager* sessions = TDSSessionManager::Instance();
  ASSERT_NE(sessions, nullptr);
  EXPECT_TRUE(sessions->HasSession(id));

  auto again = NewExchange("GET", "/datasnap/rest/TCalc/Join/a/b", "Pragma: dssession=" + id + "\r\n");
  f.Dispatcher.DispatchRequest(nullptr, *again.Request, *again.Response);
  EXPECT_EQ(again.Response->CustomHeaders().Values("Pragma"), "dssession=" + id);

  sessions->TerminateAllSessions();
  EXPECT_EQ(sessions->SessionCount(), 0u);
  auto after = NewExchange("GET", "/datasnap/rest/TCalc/Join/a/b", "Pragma: dssession=" + id + "\r\n");
  f.Dispatcher.DispatchRequest(nullptr, *after.Request, *after.Response);
  EXPECT_NE(after.Response->CustomHeaders().Values("Pragma"), "dssession=" + id);

  // Bounded: a full table makes room by dropping the oldest.
  for (std::size_t i = 0; i < TDSSessionManager::kMaxSessions + 10; ++i) sessions->OpenSession("");
  EXPECT_EQ(sessions->SessionCount(), TDSSessionManager::kMaxSessions);
  sessions->TerminateAllSessions();
}

TEST(RestJSON, StringsAndArgumentLists) {
  const std::vector<std::pair<std::string, std::string>> strings = {
      {"plain", "\"plain\""},
      {"q\"b\\s/", "\"q\\\"b\\\\s/\""},
      {"\n\r\t\x01\x7F", "\"\\n\\r\\t\\u0001\\u007f\""},
      {"\xC3\xA9\xF0\x9F\x98\x80", "\"\xC3\xA9\xF0\x9F\x98\x80\""},
      {"bad\xFF\xC0\x80 \xED\xA0\x80", "\"bad\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const auto& [text, json] : strings) EXPECT_EQ(DSJSONString(text), json) << text;

  struct Args {
    std::string Text;
    bool Ok;
    std::vector<std::string> Values;
  };
  const std::vector<Args> args = {
      {"[]", true, {}},
      {" [ \"a\" , 1.5e3, true, null ] ", true, {"a", "1.5e3", "true", "null"}},
      {R"({"a":1,"_parameters":["x"],"b":"c"})", true, {"x"}},
      {R"(["\ud800x"])", true, {"\xEF\xBF\xBDx"}},
      {R"(["\q"])", false, {}},
      {"[\"a\"] trailing", false, {}},
      {"[[\"nested\"]]", false, {}},
      {"{}", false, {}},
      {"", false, {}},
      {std::string(100, '[') , false, {}},
      {"{\"x\":" + std::string(100, '[') + "}", false, {}},
  };
  for (const Args& a : args) {
    std::vector<std::string> out{"untouched"};
    EXPECT_EQ(DSParseJSONArguments(a.Text, out), a.Ok) << a.Text;
    if (a.Ok) {
      EXPECT_EQ(out, a.Values) << a.Text;
    } else {
      EXPECT_EQ(out, std::vector<std::string>{"untouched"}) << a.Text;
    }
  }
}

TEST(ProxyGenerator, ListsTheClassesButTheExcludedOnes) {
  TRestFixture f;
  TDSServerMetaDataProvider meta;
  meta.Server = &f.Server;
  TDSProxyGenerator g;
  g.MetaDataProvider = &meta;
  std::string all = g.GenerateText();
  EXPECT_NE(all.find("function DSMetadata("), std::string::npos);
  g.ExcludeClasses = "dsmetadata";
  const std::string js = g.GenerateText();
  EXPECT_EQ(js.find("DSMetadata"), std::string::npos);
  EXPECT_NE(js.find("\"TCalc\": {\n    \"Join\": {\"params\": [\"A\", \"B\"], \"returns\": \"string\"}"),
            std::string::npos)
      << js;
  EXPECT_NE(js.find("function TCalc(connectionInfo)"), std::string::npos);
  EXPECT_NE(js.find("TCalc.prototype.Join = function (A, B) {"), std::string::npos);
  EXPECT_NE(js.find("this.connection.call(\"TCalc\", \"Join\", [A, B])"), std::string::npos);
}

TEST(ProxyGenerator, WritesWholeFilesOnly) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("proxy-" + std::to_string(getpid())) / "js";
  fs::remove_all(dir.parent_path());
  TRestFixture f;
  TDSServerMetaDataProvider meta;
  meta.Server = &f.Server;
  TDSProxyGenerator g;
  g.MetaDataProvider = &meta;
  g.TargetDirectory = dir.string() + "/";
  g.TargetUnitName = "serverfunctions.js";
  const std::string expected = g.GenerateText();

  // Writers and readers at once: every read sees a whole file, and no temporary is left.
  std::atomic<bool> stop{false};
  std::atomic<int> partial{0};
  g.Write();
  std::thread reader([&] {
    while (!stop) {
      std::ifstream in(dir / "serverfunctions.js");
      const std::string text{std::istreambuf_iterator<char>(in), {}};
      if (text != expected) ++partial;
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&] {
      TDSProxyGenerator mine;
      mine.MetaDataProvider = &meta;
      mine.TargetDirectory = dir.string();
      mine.TargetUnitName = "serverfunctions.js";
      for (int i = 0; i < 25; ++i) mine.Write();
    });
  }
  for (auto& t : writers) t.join();
  stop = true;
  reader.join();
  EXPECT_EQ(partial, 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

  fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
  if (::access(dir.c_str(), W_OK) != 0) {  // root may write anyway
    EXPECT_THROW(g.Write(), EWebBrokerException);
  }
  fs::permissions(dir, fs::perms::owner_all);
  fs::remove_all(dir.parent_path());
}

}  // namespace
}  // namespace quillon
