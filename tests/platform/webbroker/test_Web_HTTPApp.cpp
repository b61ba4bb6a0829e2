// The web-module framework: masks, field lists, HTTP dates, the dispatch order (BeforeDispatch,
// enabled actions in order, dispatch components, default action) and the module pool with
// its limits and exception handling.
#include "platform/webbroker/Web_HTTPApp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/webbroker/Web_WebReq.h"
#include "platform/webbroker/WebFixture.h"

namespace quillon {
namespace {

using test::NewExchange;

TEST(WebMask, StarsAndLetterCase) {
  struct Case {
    const char* Text;
    const char* Mask;
    bool Match;
  };
  const Case cases[] = {
      {"datasnap/rest/X", "datasnap*", true}, {"DataSnap", "datasnap*", true}, {"data", "datasnap*", false},
      {"/ReverseString", "/reversestring", true}, {"/ReverseString/", "/ReverseString", false},
      {"/a/b/c.css", "*", true}, {"", "*", true}, {"", "", true}, {"x", "", false},
      {"/templates/x.html", "/templates/*", true}, {"/templatesx", "/templates/*", false},
      {"abcabcabd", "*abd", true}, {"aaaaaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*a*b", false},
  };
  for (const Case& c : cases) EXPECT_EQ(MatchesMask(c.Text, c.Mask), c.Match) << c.Text << " ~ " << c.Mask;
}

TEST(WebFields, SplittingAndDecoding) {
  TStrings f;
  ExtractHTTPFields("a=1&b=x%20y+z&&c&d=%zz&e=%4", '&', f, true);
  ASSERT_EQ(f.Count(), 5);
  EXPECT_EQ(f.Values("A"), "1");
  EXPECT_EQ(f.Values("b"), "x y z");
  EXPECT_EQ(f.IndexOfName("c"), 2);
  EXPECT_EQ(f.Values("c"), "");
  EXPECT_EQ(f.Values("d"), "%zz");  // not an escape: kept
  EXPECT_EQ(f.Values("e"), "%4");
  TStrings cookies;
  ExtractHTTPFields("k=v; n=m", ';', cookies, false);
  EXPECT_EQ(cookies.Values("n"), "m");
}

TEST(WebDates, TheThreeHTTPFormsAndGarbage) {
  const double expected = UnixToWebDateTime(784111777);
  for (const char* text : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                           "Sun Nov  6 08:49:37 1994"}) {
    EXPECT_DOUBLE_EQ(ParseHTTPDate(text), expected) << text;
  }
  for (const char* text : {"", "yesterday", "Sun, 06 Nov 1994 08:49:37 GMT trailing"}) {
    EXPECT_EQ(ParseHTTPDate(text), -1) << text;
  }
  EXPECT_DOUBLE_EQ(UnixToWebDateTime(0), 25569.0);
  EXPECT_DOUBLE_EQ(WebDateTimeToUnix(25570.5), 86400.0 * 1.5);
}

// A dispatch component that answers paths under "/comp" and records that it was asked.
class TRecordingComponent : public IWebDispatch {
 public:
  std::vector<std::string>* Log;
  bool DispatchMask(TWebRequest& Request) override { return MatchesMask(Request.PathInfo(), "/comp*"); }
  bool DispatchRequest(TObject*, TWebRequest& Request, TWebResponse& Response) override {
    Log->push_back("component " + Request.PathInfo());
    Response.SetContent("component");
    return true;
  }
};

class TOrderModule : public TWebModule {
 public:
  std::vector<std::string> Log;
  TRecordingComponent Component;
  TWebActionItem* Disabled;

  TOrderModule() {
    Component.Log = &Log;
    auto act = [this](const std::string& aName) {
      return [this, aName](TObject*, TWebRequest& q, TWebResponse& r, bool&) {
        Log.push_back(aName + " " + q.PathInfo());
        r.SetContent(aName);
      };
    };
    // The default comes first in the list but runs last.
    AddAction("default", "/", true).OnAction = act("default");
    AddAction("first", "/page").OnAction = act("first");
    AddAction("second", "/page").OnAction = act("second");
    Disabled = &AddAction("disabled", "/off");
    Disabled->OnAction = act("disabled");
    Disabled->Enabled = false;
    AddAction("post only", "/comp/post").OnAction = act("post only");
    ActionByName("post only")->MethodType = TMethodType::mtPost;
    AddAction("declines", "/declines").OnAction = [this](TObject*, TWebRequest&, TWebResponse&, bool& h) {
      Log.push_back("declines");
      h = false;
    };
    AddDispatchComponent(&Component);
    BeforeDispatch = [this](TObject*, TWebRequest& q, TWebResponse& r, bool& h) {
      Log.push_back("before " + q.PathInfo());
      if (q.PathInfo() == "/stop") {
        r.SetContent("before");
        h = true;
      }
    };
    AfterDispatch = [this](TObject*, TWebRequest&, TWebResponse&, bool&) { Log.push_back("after"); };
  }
};

TEST(WebDispatch, BeforeActionsComponentsThenDefault) {
  struct Case {
    std::string Method, Path;
    std::vector<std::string> Log;
    std::string Content;
  };
  const std::vector<Case> cases = {
      {"GET", "/page", {"before /page", "first /page", "after"}, "first"},
      {"GET", "/PAGE", {"before /PAGE", "first /PAGE", "after"}, "first"},
      {"GET", "/stop", {"before /stop", "after"}, "before"},
      {"GET", "/off", {"before /off", "default /off", "after"}, "default"},
      {"GET", "/comp/post", {"before /comp/post", "component /comp/post", "after"}, "component"},
      {"POST", "/comp/post", {"before /comp/post", "post only /comp/post", "after"}, "post only"},
      {"GET", "/declines", {"before /declines", "declines", "default /declines", "after"}, "default"},
  };
  for (const Case& c : cases) {
    TOrderModule m;
    auto e = NewExchange(c.Method, c.Path);
    EXPECT_TRUE(m.DispatchAction(*e.Request, *e.Response)) << c.Path;
    EXPECT_EQ(m.Log, c.Log) << c.Method << " " << c.Path;
    EXPECT_EQ(e.Response->Content(), c.Content) << c.Path;
    EXPECT_EQ(m.Request(), e.Request.get());  // kept for the exception handling
  }
  TOrderModule m;
  m.ActionByName("DEFAULT")->Enabled = false;
  auto e = NewExchange("GET", "/nothing");
  EXPECT_FALSE(m.DispatchAction(*e.Request, *e.Response));
  EXPECT_EQ(m.Log, std::vector<std::string>{"before /nothing"});
}

// ---------------------------------------------------------------------------------------
// The module pool

int gLive = 0;

class TPoolModule : public TWebModule {
 public:
  TPoolModule() {
    ++gLive;
    AddAction("all", "", true).OnAction = [](TObject*, TWebRequest& q, TWebResponse& r, bool& h) {
      if (q.PathInfo() == "/throw") throw std::runtime_error("inside");
      if (q.PathInfo() == "/unhandled") {
        h = false;
        return;
      }
      if (q.PathInfo() == "/sends") r.SendResponse();
      r.SetContent("pooled");
    };
  }
  ~TPoolModule() override { --gLive; }
};

std::string ErrorOf(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(WebRequestHandler, PoolReusesModulesAndKnowsItsLimits) {
  TWebRequestHandler h;
  EXPECT_EQ(h.MaxConnections(), 32);
  EXPECT_TRUE(h.CacheConnections());
  auto e = NewExchange("GET", "/x");
  EXPECT_EQ(ErrorOf([&] { h.HandleRequest(*e.Request, *e.Response); }), "No data modules registered");

  h.SetWebModuleClass(ClassOf<TPoolModule>("TPoolModule"));
  const int live = gLive;
  for (int i = 0; i < 3; ++i) {
    auto x = NewExchange("GET", "/x");
    EXPECT_TRUE(h.HandleRequest(*x.Request, *x.Response));
    EXPECT_TRUE(x.Response->Sent());  // the handler sent the handled answer
    EXPECT_EQ(x.Response->Content(), "pooled");
  }
  EXPECT_EQ(gLive, live + 1);
  EXPECT_EQ(h.InactiveCount(), 1);
  EXPECT_EQ(h.ActiveCount(), 0);

  // Not handled: nothing is sent. A module that sent by itself is not sent again.
  auto u = NewExchange("GET", "/unhandled");
  EXPECT_FALSE(h.HandleRequest(*u.Request, *u.Response));
  EXPECT_FALSE(u.Response->Sent());

  // An error inside goes to the module's handler, which answers 500.
  auto t = NewExchange("GET", "/throw");
  EXPECT_TRUE(h.HandleRequest(*t.Request, *t.Response));
  EXPECT_EQ(t.Response->StatusCode(), 500);
  EXPECT_TRUE(t.Response->Sent());
  EXPECT_EQ(h.ActiveCount(), 0);

  h.SetMaxConnections(0);
  auto b = NewExchange("GET", "/x");
  EXPECT_EQ(ErrorOf([&] { h.HandleRequest(*b.Request, *b.Response); }),
            "Maximum number of concurrent connections exceeded.  Please try again later");
  h.SetMaxConnections(32);

  h.SetCacheConnections(false);
  h.FreeModules();
  EXPECT_EQ(gLive, live);
  auto n = NewExchange("GET", "/x");
  EXPECT_TRUE(h.HandleRequest(*n.Request, *n.Response));
  EXPECT_EQ(gLive, live);  // not kept
}

TEST(WebRequestHandler, OnExceptionMayDeclineAndTheErrorLeaves) {
  class TDeclining : public TPoolModule {
   public:
    TDeclining() {
      OnException = [](TObject*, const std::exception&, bool& handled) { handled = false; };
    }
  };
  TWebRequestHandler h;
  h.SetWebModuleClass(ClassOf<TDeclining>("TDeclining"));
  auto t = NewExchange("GET", "/throw");
  // Declined by OnException: the default handling still answers.
  EXPECT_TRUE(h.HandleRequest(*t.Request, *t.Response));
  EXPECT_EQ(t.Response->StatusCode(), 500);
}

TEST(WebRequestHandler, AccessorAndProcessWideExceptionHandler) {
  SetWebRequestHandlerProc(nullptr);
  EXPECT_EQ(WebRequestHandler(), nullptr);
  TWebRequestHandler h;
  SetWebRequestHandlerProc([&h] { return &h; });
  EXPECT_EQ(WebRequestHandler(), &h);
  std::string seen;
  SetApplicationExceptionHandler([&](TObject*, const std::exception& e) { seen = e.what(); });
  ApplicationHandleException(nullptr, std::runtime_error("shown"));
  EXPECT_EQ(seen, "shown");
  SetApplicationExceptionHandler(nullptr);
  SetWebRequestHandlerProc(nullptr);
}

}  // namespace
}  // namespace quillon
