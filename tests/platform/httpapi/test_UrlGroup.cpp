// URL-group properties that shape traffic: bandwidth throttling, the minimum send rate and
// W3C logging of every response.
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

}  // namespace
