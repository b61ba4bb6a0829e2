// The engine through the API, the way the host drives it: a receiving thread, responses from
// the caller's thread, overlapped calls completing on a completion port; real sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "HttpTestSupport.h"
#include "platform/httpapi/http.h"

namespace {

using namespace httptest;
using namespace std::chrono_literals;

std::string Text(PCSTR p, USHORT n) { return p ? std::string(p, n) : std::string(); }

TEST(HttpApi, RequestRecordDescribesTheRequestInTheCallersBuffer) {
  Server server("/app/");
  ASSERT_FALSE(server.prefix.empty());
  Client client(server.port);
  ASSERT_TRUE(client.Send(
      "PROPFIND /app/a%20b/../c?x=%41 HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: t\r\n"
      "X-Custom:  v1 \r\nAccept: a\r\nAccept: b\r\n\r\n"));
  Received r = Receive(server.queue);
  ASSERT_EQ(r.rc, NO_ERROR);
  const HTTP_REQUEST_V2& q = *r.request;
  EXPECT_EQ(q.Verb, HttpVerbPROPFIND);
  EXPECT_EQ(Text(q.pRawUrl, q.RawUrlLength), "/app/a%20b/../c?x=%41");
  EXPECT_EQ(q.Version.MajorVersion, 1);
  EXPECT_EQ(q.Version.MinorVersion, 1);
  std::string full = Text(q.CookedUrl.pFullUrl, q.CookedUrl.FullUrlLength);
  EXPECT_EQ(full, "http://127.0.0.1:" + std::to_string(server.port) + "/app/c?x=%41");
  EXPECT_EQ(Text(q.CookedUrl.pAbsPath, q.CookedUrl.AbsPathLength), "/app/c");
  EXPECT_EQ(Text(q.CookedUrl.pQueryString, q.CookedUrl.QueryStringLength), "?x=%41");
  EXPECT_EQ(Text(q.CookedUrl.pHost, q.CookedUrl.HostLength),
            "127.0.0.1:" + std::to_string(server.port));
  const auto& known = q.Headers.KnownHeaders;
  EXPECT_EQ(Text(known[HttpHeaderUserAgent].pRawValue, known[HttpHeaderUserAgent].RawValueLength), "t");
  EXPECT_EQ(Text(known[HttpHeaderAccept].pRawValue, known[HttpHeaderAccept].RawValueLength), "a, b");
  ASSERT_EQ(q.Headers.UnknownHeaderCount, 1);
  EXPECT_EQ(Text(q.Headers.pUnknownHeaders[0].pName, q.Headers.pUnknownHeaders[0].NameLength),
            "X-Custom");
  EXPECT_EQ(Text(q.Headers.pUnknownHeaders[0].pRawValue,
                 q.Headers.pUnknownHeaders[0].RawValueLength), "v1");
  auto* remote = reinterpret_cast<sockaddr_in*>(q.Address.pRemoteAddress);
  auto* local = reinterpret_cast<sockaddr_in*>(q.Address.pLocalAddress);
  EXPECT_EQ(ntohl(remote->sin_addr.s_addr), INADDR_LOOPBACK);
  EXPECT_EQ(ntohs(local->sin_port), server.port);
  // Every pointer lies inside the caller's buffer.
  const char* begin = r.storage.data();
  const char* end = begin + r.storage.size();
  for (const void* p : {static_cast<const void*>(q.pRawUrl), static_cast<const void*>(q.CookedUrl.pFullUrl),
                        static_cast<const void*>(q.Address.pRemoteAddress),
                        static_cast<const void*>(q.Headers.pUnknownHeaders)}) {
    EXPECT_GE(static_cast<const char*>(p), begin);
    EXPECT_LT(static_cast<const char*>(p), end);
  }
  EXPECT_NE(q.RequestId, HTTP_NULL_ID);
  EXPECT_NE(q.ConnectionId, HTTP_NULL_ID);
  EXPECT_EQ(Respond(server.queue, q.RequestId, 200, "hello"), NO_ERROR);
  std::string response = client.ReadResponse();
  EXPECT_EQ(response.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_NE(response.find("Content-Length: 5\r\n"), std::string::npos);
  EXPECT_EQ(response.substr(response.size() - 5), "hello");
  // The answered request is gone; its id no longer works.
  EXPECT_EQ(Respond(server.queue, q.RequestId, 200, "again"), ERROR_CONNECTION_INVALID);
}

}  // namespace
