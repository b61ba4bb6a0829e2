// URL prefixes: what registers, which prefix a request goes to, and how targets are cooked.
#include "platform/httpapi/UrlPrefix.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

using namespace quillon::platform::detail;

TEST(UrlPrefix, ParsesFullyQualifiedPrefixes) {
  auto p = ParseUrlPrefix("HTTPS://+:5420/Lum/Auth/");
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->https);
  EXPECT_EQ(p->hostKind, PrefixHost::StrongWildcard);
  EXPECT_EQ(p->port, 5420);
  EXPECT_EQ(p->path, "/lum/auth/");
  EXPECT_EQ(ParseUrlPrefix("http://*:80/")->hostKind, PrefixHost::WeakWildcard);
  EXPECT_EQ(ParseUrlPrefix("http://127.0.0.1:80/")->hostKind, PrefixHost::Address);
  auto local = ParseUrlPrefix("http://localhost:81/");
  EXPECT_EQ(local->hostKind, PrefixHost::Name);
  EXPECT_EQ(ListenAddress(*local), IpAddress::Parse("127.0.0.1"));
  EXPECT_TRUE(ListenAddress(*ParseUrlPrefix("http://example.com:81/")).IsAny());
  EXPECT_TRUE(ListenAddress(*ParseUrlPrefix("http://+:81/")).IsAny());
  EXPECT_EQ(ParseUrlPrefix("http://a/")->port, 80);
  // IPv6 literals in brackets, written canonically; a mapped IPv4 address is IPv4.
  struct {
    const char* url;
    const char* listen;
    const char* canonical;
    std::uint16_t port;
  } literals[] = {
      {"http://[::1]:8080/x/", "::1", "http://[::1]:8080/x/", 8080},
      {"https://[0:0::1]/", "::1", "https://[::1]:443/", 443},
      {"http://[FE80::A:1]:1/", "fe80::a:1", "http://[fe80::a:1]:1/", 1},
      {"http://[::ffff:127.0.0.1]:2/", "127.0.0.1", "http://127.0.0.1:2/", 2},
  };
  for (auto& c : literals) {
    auto p6 = ParseUrlPrefix(c.url);
    ASSERT_TRUE(p6) << c.url;
    EXPECT_EQ(p6->hostKind, PrefixHost::Address) << c.url;
    EXPECT_EQ(ListenAddress(*p6), IpAddress::Parse(c.listen)) << c.url;
    EXPECT_EQ(p6->canonical, c.canonical) << c.url;
    EXPECT_EQ(p6->port, c.port) << c.url;
  }
  EXPECT_TRUE(ListenAddress(*ParseUrlPrefix("http://[::]:80/")).IsAny());
  for (const char* bad : {"ftp://a:1/", "http://a:1", "http://a:1/x", "http://:1/", "http://a:0/",
                          "http://a:70000/", "http://a:1/?q/", "http://a b:1/", "http://[::1/",
                          "http://[::1]x/", "http://[]:1/", "http://[::1]:/", "http://[host]:1/",
                          "http://::1:1/"}) {
    EXPECT_FALSE(ParseUrlPrefix(bad)) << bad;
  }
}

TEST(UrlPrefix, LongestPathWinsThenStrongerHost) {
  IpAddress lo = IpAddress::Parse("127.0.0.1");
  auto rank = [&](const char* prefix, const char* host, const char* path) {
    return MatchRank(*ParseUrlPrefix(prefix), false, lo, 8000, host, path);
  };
  EXPECT_GT(rank("http://+:8000/a/b/", "x", "/a/b/c"), rank("http://+:8000/a/", "x", "/a/b/c"));
  EXPECT_GT(rank("http://+:8000/a/", "x", "/a/"), rank("http://h:8000/a/", "h", "/a/"));
  EXPECT_GT(rank("http://h:8000/a/", "H:8000", "/a/"), rank("http://*:8000/a/", "h", "/a/"));
  EXPECT_EQ(rank("http://h:8000/a/", "other", "/a/"), -1);
  EXPECT_GE(rank("http://127.0.0.1:8000/", "anything", "/x"), 0);
  EXPECT_EQ(rank("http://10.0.0.1:8000/", "anything", "/x"), -1);
  EXPECT_EQ(rank("http://+:8001/", "x", "/"), -1);
  EXPECT_GE(rank("http://+:8000/App/", "x", "/APP/page"), 0);  // no letter case
  EXPECT_GE(rank("http://+:8000/app/", "x", "/app"), 0);       // without the final slash
  EXPECT_EQ(rank("http://+:8000/app/", "x", "/apple"), -1);
  // An IPv6 literal matches connections to that address only.
  IpAddress lo6 = IpAddress::Parse("::1");
  EXPECT_GE(MatchRank(*ParseUrlPrefix("http://[::1]:8000/"), false, lo6, 8000, "[::1]", "/"), 0);
  EXPECT_EQ(MatchRank(*ParseUrlPrefix("http://[::1]:8000/"), false, lo, 8000, "[::1]", "/"), -1);
  EXPECT_GE(MatchRank(*ParseUrlPrefix("http://+:8000/"), false, lo6, 8000, "[::1]:8000", "/"), 0);
}

TEST(UrlPrefix, CooksTargetsAndRefusesUnsafeOnes) {
  auto c = CookTarget("/a%20b/./c/../d?x=%41");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->path, "/a b/d");
  EXPECT_EQ(c->query, "?x=%41");
  auto abs = CookTarget("http://host:1/p/q?z");
  ASSERT_TRUE(abs);
  EXPECT_EQ(abs->host, "host:1");
  EXPECT_EQ(abs->path, "/p/q");
  EXPECT_EQ(CookTarget("/a/b%2f..%2fc")->path, "/a/c");  // decoded before normalising
  for (const char* bad : {"/../etc", "/a/..%2f..%2fetc", "/a/%2e%2e/%2e%2e/x", "/%zz", "/%00", "/%4", "*", "x"}) {
    EXPECT_FALSE(CookTarget(bad)) << bad;
  }
}

}  // namespace
