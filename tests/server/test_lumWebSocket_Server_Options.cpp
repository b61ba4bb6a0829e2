#include "server/lumWebSocket_Server_Options.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

TEST(ServerOptions, ReadTimeOutBelowOneReadsOneAndCopyLeavesWriteTimeOut) {
  TlumWSOptionsServer o;
  o.SetReadTimeOut(0);
  EXPECT_EQ(o.ReadTimeOut(), 1);
  o.SetReadTimeOut(-5);
  EXPECT_EQ(o.ReadTimeOut(), 1);

  TlumWSOptionsServer src;
  src.SetReadTimeOut(42);
  src.WriteTimeOut = 7;
  src.HTMLFiles = false;
  src.FragmentedMessages = frgAll;
  TlumWSOptionsServer dst;
  dst.Assign(src);
  EXPECT_EQ(dst.ReadTimeOut(), 42);
  EXPECT_FALSE(dst.HTMLFiles);
  EXPECT_EQ(dst.FragmentedMessages, frgAll);
  EXPECT_EQ(dst.WriteTimeOut, 0);
}

TEST(ServerOptions, BindingURLs) {
  struct Case {
    const char* Host;
    int Port;
    const char* Parameters;
    bool SSL;
    const char* Expected;
  };
  const Case cases[] = {
      {"127.0.0.1", 8080, "chat", false, "http://127.0.0.1:8080/chat/"},
      {"127.0.0.1", 8080, "/chat/", false, "http://127.0.0.1:8080/chat/"},
      {"localhost", 443, "", true, "https://localhost:443/"},
      {"+", 80, "/a/b", false, "http://+:80/a/b/"},
  };
  TlumWSBindings bindings;
  for (const Case& c : cases) bindings.NewBinding(c.Host, c.Port, c.Parameters, c.SSL);
  for (int i = 0; i < bindings.Count(); ++i) EXPECT_EQ(bindings.GetURL(i), cases[i].Expected);
  EXPECT_EQ(bindings.GetURL(bindings.Count()), "");
  EXPECT_EQ(bindings.GetURL(-1), "");

  TlumWSBindings copy;
  copy.NewBinding("x", 1);
  copy.Assign(bindings);
  ASSERT_EQ(copy.Count(), bindings.Count());
  EXPECT_EQ(copy.GetURL(0), cases[0].Expected);
}

TEST(ServerOptions, UserLookupIgnoresNameCaseOnly) {
  TlumWSAuthenticationServer_Options a;
  a.AuthUsers = {"alice=Secret", "bob=", "carol"};
  std::string pw;
  ASSERT_TRUE(a.FindUser("ALICE", pw));
  EXPECT_EQ(pw, "Secret");
  ASSERT_TRUE(a.FindUser("bob", pw));
  EXPECT_EQ(pw, "");
  ASSERT_TRUE(a.FindUser("carol", pw));
  EXPECT_EQ(pw, "");
  EXPECT_FALSE(a.FindUser("dave", pw));
  EXPECT_FALSE(a.Basic.Enabled);
  EXPECT_TRUE(a.URL.Enabled);
  EXPECT_TRUE(a.Session.Enabled);
}

}  // namespace
}  // namespace quillon
