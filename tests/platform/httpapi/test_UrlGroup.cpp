// URL-group properties that shape traffic: bandwidth throttling, the minimum send rate and
// W3C logging of every response; the result codes of prefixes that cannot be listened on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "HttpTestSupport.h"
#include "platform/httpapi/http.h"

namespace {

using namespace httptest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(UrlGroup, BandwidthIsThrottledPerGroup) {
  Server server;
  HTTP_BANDWIDTH_LIMIT_INFO limit{};
  limit.Flags.Present = 1;
  limit.MaxBandwidth = 500;  // below the minimum the API accepts
  HTTP_QOS_SETTING_INFO qos{HttpQosSettingTypeBandwidth, &limit};
  EXPECT_EQ(HttpSetUrlGroupProperty(server.group, HttpServerQosProperty, &qos, sizeof qos), ERROR_INVALID_PARAMETER);
  limit.MaxBandwidth = 16 * 1024;
  ASSERT_EQ(HttpSetUrlGroupProperty(server.group, HttpServerQosProperty, &qos, sizeof qos), NO_ERROR);
  Client client(server.port);
  client.Send(Get("/"));
  Received r = Receive(server.queue);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Respond(server.queue, r.request->RequestId, 200, std::string(40 * 1024, 'z')), NO_ERROR);
  std::string response = client.ReadResponse(10s);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(response.size() - response.find("\r\n\r\n") - 4, 40u * 1024);
  EXPECT_GT(took, 1500ms);  // 40 KiB at 16 KiB/s
  EXPECT_LT(took, 5s);
}

TEST(UrlGroup, ASlowReaderBelowTheMinimumSendRateIsDropped) {
  Server server;
  server.SetTimeouts(0, 0, 0, /*minSendRate*/ 1024 * 1024);
  Client client(server.port);
  int small = 4096;
  setsockopt(client.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  client.Send(Get("/"));
  Received r = Receive(server.queue);
  ASSERT_EQ(Respond(server.queue, r.request->RequestId, 200, std::string(8 << 20, 's'), HTTP_SEND_RESPONSE_FLAG_MORE_DATA),
            NO_ERROR);
  std::this_thread::sleep_for(3500ms);  // the client reads nothing
  EXPECT_EQ(SendBody(server.queue, r.request->RequestId, "x", 0), ERROR_CONNECTION_INVALID);
}

TEST(UrlGroup, EveryResponseIsLoggedInW3CFormat) {
  fs::path dir = fs::temp_directory_path() / ("quillon-w3c-" + std::to_string(getpid()));
  fs::remove_all(dir);
  Server server;
  std::string folder = dir.string();
  HTTP_LOGGING_INFO info{};
  info.Flags.Present = 1;
  info.LoggingFlags = HTTP_LOGGING_FLAG_USE_UTF8_CONVERSION;
  info.SoftwareName = "Quillon 4.4.6";
  info.SoftwareNameLength = 13;
  info.DirectoryName = folder.c_str();
  info.DirectoryNameLength = static_cast<USHORT>(folder.size());
  info.Format = HttpLoggingTypeW3C;
  info.Fields = 0x3FFFFF;
  info.RolloverType = HttpLoggingRolloverDaily;
  ASSERT_EQ(HttpSetUrlGroupProperty(server.group, HttpServerLoggingProperty, &info, sizeof info), NO_ERROR);
  Client client(server.port);
  client.Send(Get("/logged/page?q=1", "User-Agent: Test Agent\r\n"));
  Received r = Receive(server.queue);
  HTTP_RESPONSE_V2 response{};
  response.StatusCode = 201;
  HTTP_LOG_FIELDS_DATA log{};
  log.Base.Type = HttpLogDataTypeFields;
  ASSERT_EQ(HttpSendHttpResponse(server.queue, r.request->RequestId, 0, &response, nullptr, nullptr, nullptr, 0,
                                 nullptr, reinterpret_cast<PHTTP_LOG_DATA>(&log)), NO_ERROR);
  client.ReadResponse();
  // A response sent without log data is not logged.
  client.Send(Get("/quiet"));
  r = Receive(server.queue);
  Respond(server.queue, r.request->RequestId, 200, "");
  client.ReadResponse();
  HttpCloseUrlGroup(server.group);  // the writer flushes when the group lets it go
  server.group = 0;
  std::string text;
  for (int i = 0; i < 30 && text.find("/logged/page") == std::string::npos; ++i) {
    std::this_thread::sleep_for(100ms);
    for (auto& e : fs::directory_iterator(dir)) {
      std::ifstream in(e.path());
      std::stringstream s;
      s << in.rdbuf();
      text = s.str();
    }
  }
  EXPECT_NE(text.find("#Software: Quillon 4.4.6"), std::string::npos);
  EXPECT_NE(text.find("#Fields:"), std::string::npos);
  EXPECT_NE(text.find("/logged/page q=1"), std::string::npos) << text;
  EXPECT_NE(text.find(" 201 "), std::string::npos);
  EXPECT_NE(text.find("Test+Agent"), std::string::npos);
  EXPECT_EQ(text.find("/quiet"), std::string::npos);
  fs::remove_all(dir);
}

// Each reason a listener cannot be had has its own code, so the host can say which it was;
// a refused prefix leaves nothing registered and the port free.
TEST(UrlGroup, PrefixesThatCannotBeListenedOnSayWhy) {
  Server server("/");
  ASSERT_FALSE(server.prefix.empty());
  // A port some other program holds.
  int taken = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  socklen_t length = sizeof address;
  ::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string takenPort = std::to_string(ntohs(address.sin_port));
  const std::uint16_t freePort = FreePort();
  struct Case {
    std::string prefix;
    ULONG code;
  };
  const Case cases[] = {
      {"http://127.0.0.1:" + takenPort + "/", ERROR_SHARING_VIOLATION},
      // TEST-NET-1 and a documentation IPv6 address: never this machine's.
      {"http://192.0.2.1:" + std::to_string(freePort) + "/", WSAEADDRNOTAVAIL},
      {"http://[2001:db8::1]:" + std::to_string(freePort) + "/", WSAEADDRNOTAVAIL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HttpAddUrlToUrlGroup(server.group, c.prefix.c_str(), 0, 0), c.code) << c.prefix;
    EXPECT_EQ(HttpRemoveUrlFromUrlGroup(server.group, c.prefix.c_str(), 0), ERROR_FILE_NOT_FOUND)
        << c.prefix;
  }
  ::close(taken);
  // The refused address left the free port free: the right prefix for it is accepted.
  const std::string good = "http://127.0.0.1:" + std::to_string(freePort) + "/";
  EXPECT_EQ(HttpAddUrlToUrlGroup(server.group, good.c_str(), 0, 0), NO_ERROR);
}

}  // namespace
