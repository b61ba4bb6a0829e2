// Response helpers and request records: the mapping of text to the response record, and the
// request record built from records made by hand and from requests of a real loopback client.
#include "httpapi/lumWebSocket_HTTPAPI.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackClient.h"

namespace quillon {
namespace {

std::string KnownText(const HTTP_RESPONSE_V2& r, int id) {
  const HTTP_KNOWN_HEADER& h = r.Headers.KnownHeaders[id];
  return h.pRawValue ? std::string(h.pRawValue, h.RawValueLength) : std::string("<unset>");
}

std::vector<std::pair<std::string, std::string>> UnknownList(const HTTP_RESPONSE_V2& r) {
  std::vector<std::pair<std::string, std::string>> out;
  for (int i = 0; i < r.Headers.UnknownHeaderCount; ++i) {
    const HTTP_UNKNOWN_HEADER& h = r.Headers.pUnknownHeaders[i];
    out.emplace_back(std::string(h.pName, h.NameLength), std::string(h.pRawValue, h.RawValueLength));
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// SetStatus / SetBody

TEST(SetStatus, EveryCodeGetsAReasonPhrase) {
  const struct {
    int code;
    const char* reason;
  } cases[] = {{100, "Continue"},         {101, "Switching Protocols"},
               {200, "OK"},               {203, "Non-Authoritative Information"},
               {302, "Moved Temporarily"}, {307, "Temporary Redirect"},
               {404, "Not Found"},        {406, "Not Acceptable"},
               {503, "Service Unavailable"}, {413, "Payload Too Large"},
               {429, "Too Many Requests"}, {505, "HTTP Version Not Supported"},
               {418, "Client Error"},     {299, "Success"},
               {599, "Server Error"},     {999, "Unknown"}};
  for (const auto& c : cases) {
    HTTP_RESPONSE_V2 r{};
    std::string reason = "stale";
    SetStatus(r, c.code, reason);
    EXPECT_EQ(r.StatusCode, c.code);
    EXPECT_EQ(reason, c.reason) << c.code;
    EXPECT_EQ(std::string(r.pReason, r.ReasonLength), c.reason) << c.code;
    EXPECT_EQ(r.pReason, reason.c_str()) << "the record points into the caller's string";
  }
}

TEST(SetBody, ChunkAndContentTypeOnlyForABody) {
  HTTP_RESPONSE_V2 r{};
  HTTP_DATA_CHUNK chunk{};
  const std::string empty, type = "text/plain";
  SetBody(r, chunk, empty, type);
  EXPECT_EQ(r.EntityChunkCount, 0);
  EXPECT_EQ(r.pEntityChunks, nullptr);
  EXPECT_EQ(KnownText(r, HttpHeaderContentType), "<unset>");

  const std::string body = "hello";
  SetBody(r, chunk, body, type);
  ASSERT_EQ(r.EntityChunkCount, 1);
  ASSERT_EQ(r.pEntityChunks, &chunk);
  EXPECT_EQ(chunk.DataChunkType, HttpDataChunkFromMemory);
  EXPECT_EQ(chunk.FromMemory.pBuffer, body.data());
  EXPECT_EQ(chunk.FromMemory.BufferLength, 5u);
  EXPECT_EQ(KnownText(r, HttpHeaderContentType), "text/plain");
}

// ---------------------------------------------------------------------------------------
// SetHeaders

struct HeaderCase {
  const char* name;
  std::string text;
  std::vector<std::pair<int, std::string>> known;
  std::vector<std::pair<std::string, std::string>> unknown;
};

TEST(SetHeaders, MapsLinesToKnownSlotsAndUnknownHeaders) {
  const HeaderCase cases[] = {
      {"lower case, no space", "content-type:text/html", {{HttpHeaderContentType, "text/html"}}, {}},
      {"space before the colon", "Content-Type : x/y", {}, {{"Content-Type ", "x/y"}}},
      {"connection is never known", "Connection: close", {}, {{"Connection", "close"}}},
      {"nor its slot spelling", "_Connection: close", {}, {{"_Connection", "close"}}},
      {"status line skipped", "HTTP/1.1 200 OK\r\nServer: Q", {{HttpHeaderServer, "Q"}}, {}},
      {"later line replaces", "Server: A\r\nServer: B", {{HttpHeaderServer, "B"}}, {}},
      {"spaces after colon", "Cache-Control:   no-cache", {{HttpHeaderCacheControl, "no-cache"}}, {}},
      {"value ends at control char", "X-A: v\tw\r\nETag: \"1\"\x01z",
       {{HttpHeaderEtag, "\"1\""}}, {{"X-A", "v"}}},
      {"empty value", "Location:", {{HttpHeaderLocation, ""}}, {}},
      {"blank lines and bare CR/LF", "\n\nX-1: a\r\r\nX-2: b\n", {}, {{"X-1", "a"}, {"X-2", "b"}}},
      {"no colon anywhere", "just text\r\nmore", {}, {}},
      {"colon after a control char", "X\x02: v", {}, {}},
      {"prefix of a known name", "Content-Types: a", {}, {{"Content-Types", "a"}}},
      {"response-only ids", "WWW-Authenticate: Basic\r\nSet-Cookie: a=b\r\nAge: 3",
       {{HttpHeaderWwwAuthenticate, "Basic"}, {HttpHeaderSetCookie, "a=b"}, {HttpHeaderAge, "3"}},
       {}},
      {"request-only names are unknown here", "Host: h\r\nUser-Agent: u",
       {}, {{"Host", "h"}, {"User-Agent", "u"}}},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    HTTP_RESPONSE_V2 r{};
    std::vector<HTTP_UNKNOWN_HEADER> unknown;
    SetHeaders(r, c.text, unknown);
    for (int id = 0; id < HttpHeaderResponseMaximum; ++id) {
      std::string expected = "<unset>";
      for (const auto& [kid, value] : c.known)
        if (kid == id) expected = value;
      EXPECT_EQ(KnownText(r, id), expected) << "slot " << id;
    }
    EXPECT_EQ(UnknownList(r), c.unknown);
    EXPECT_EQ(r.Headers.pUnknownHeaders, unknown.data());
    EXPECT_EQ(unknown.size(), 64u);
  }
}

TEST(SetHeaders, PointsIntoTheTextWithoutCopying) {
  const std::string text = "Server: S\r\nX-Y: z";
  HTTP_RESPONSE_V2 r{};
  std::vector<HTTP_UNKNOWN_HEADER> unknown;
  SetHeaders(r, text, unknown);
  EXPECT_EQ(r.Headers.KnownHeaders[HttpHeaderServer].pRawValue, text.data() + 8);
  ASSERT_EQ(r.Headers.UnknownHeaderCount, 1);
  EXPECT_EQ(unknown[0].pName, text.data() + 11);
  EXPECT_EQ(unknown[0].pRawValue, text.data() + 16);
}

TEST(SetHeaders, HundredUnknownHeadersGrowTheArray) {
  std::string text = "HTTP/1.1 200 OK\r\nContent-Type: a/b\r\n";
  for (int i = 0; i < 100; ++i) text += "X-Custom-" + std::to_string(i) + ": v" + std::to_string(i) + "\r\n";
  HTTP_RESPONSE_V2 r{};
  std::vector<HTTP_UNKNOWN_HEADER> unknown;
  SetHeaders(r, text, unknown);
  ASSERT_EQ(r.Headers.UnknownHeaderCount, 100);
  // 64, then 32 more at 63 used and again at 95 used.
  EXPECT_EQ(unknown.size(), 128u);
  EXPECT_EQ(r.Headers.pUnknownHeaders, unknown.data()) << "the record follows the grown array";
  const auto list = UnknownList(r);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(list[i].first, "X-Custom-" + std::to_string(i));
    EXPECT_EQ(list[i].second, "v" + std::to_string(i));
  }
  EXPECT_EQ(KnownText(r, HttpHeaderContentType), "a/b");
}

TEST(SetHeaders, ArrayGrowthSteps) {
  const struct {
    int lines;
    std::size_t size;
  } cases[] = {{0, 64}, {62, 64}, {63, 96}, {94, 96}, {95, 128}, {127, 160}};
  for (const auto& c : cases) {
    std::string text;
    for (int i = 0; i < c.lines; ++i) text += "X" + std::to_string(i) + ": 1\r\n";
    HTTP_RESPONSE_V2 r{};
    std::vector<HTTP_UNKNOWN_HEADER> unknown;
    SetHeaders(r, text, unknown);
    EXPECT_EQ(r.Headers.UnknownHeaderCount, c.lines);
    EXPECT_EQ(unknown.size(), c.size) << c.lines << " lines";
  }
}

// ---------------------------------------------------------------------------------------
// GetHttpServerRequest over hand-made records (no body to read)

struct RecordBuilder {
  HTTP_REQUEST_V2 request{};
  std::vector<std::string> keep;

  RecordBuilder(HTTP_VERB verb, std::string rawUrl, std::string unknownVerb = "") {
    request.Verb = verb;
    request.ConnectionId = 0x1122334455667788ull;
    keep.reserve(64);
    keep.push_back(std::move(rawUrl));
    request.pRawUrl = keep.back().c_str();
    request.RawUrlLength = static_cast<USHORT>(keep.back().size());
    if (!unknownVerb.empty()) {
      keep.push_back(std::move(unknownVerb));
      request.pUnknownVerb = keep.back().c_str();
      request.UnknownVerbLength = static_cast<USHORT>(keep.back().size());
    }
  }
  RecordBuilder& Header(int id, std::string value) {
    keep.push_back(std::move(value));
    request.Headers.KnownHeaders[id].pRawValue = keep.back().c_str();
    request.Headers.KnownHeaders[id].RawValueLength = static_cast<USHORT>(keep.back().size());
    return *this;
  }
};

TEST(GetHttpServerRequest, SplitsAndPercentDecodesTheRawUrl) {
  const struct {
    const char* raw;
    std::string document;
    std::string query;
  } cases[] = {
      {"/a%20b?x=%41", "/a b", "x=A"},
      {"/p?q?r", "/p", "q?r"},
      {"/plain", "/plain", ""},
      {"/?", "/", ""},
      {"/a+b?c+d", "/a+b", "c+d"},
      {"/%e2%82%ac", "/\xE2\x82\xAC", ""},
      {"/%u20AC%U00e9", "/\xE2\x82\xAC\xC3\xA9", ""},
      {"/%uD83D%uDE00", "/\xF0\x9F\x98\x80", ""},  // a surrogate pair is one character
      {"/%uD83Dx", "/\xEF\xBF\xBDx", ""},          // a lone one is not
      {"/%zzok", "/ok", ""},                        // malformed escapes are dropped
      {"/a%4", "/a", ""},
      {"/a%", "/a", ""},
      {"/%u12G4z", "/2G4z", ""},  // not %uXXXX, not %XX: "%u1" dropped
      {"/x?a=%3D%26", "/x", "a==&"},
      {"/%3F?q", "/?", "q"},  // an escaped "?" does not split
      {"/caf\xC3\xA9", "/caf\xC3\xA9", ""},
  };
  for (const auto& c : cases) {
    RecordBuilder b(HttpVerbGET, c.raw);
    const THttpServerRequest info = GetHttpServerRequest(b.request, nullptr, 0);
    EXPECT_EQ(info.Document, c.document) << c.raw;
    EXPECT_EQ(info.QueryParams, c.query) << c.raw;
    EXPECT_EQ(info.ConnectionId, 0x1122334455667788ull);
  }
}

TEST(GetHttpServerRequest, MethodFromVerbNumberOrAsSent) {
  const struct {
    HTTP_VERB verb;
    const char* unknown;
    const char* method;
  } cases[] = {{HttpVerbOPTIONS, "", "OPTIONS"}, {HttpVerbGET, "", "GET"},
               {HttpVerbPOST, "", "POST"},       {HttpVerbCONNECT, "", "CONNECT"},
               {HttpVerbTRACK, "", "TRACK"},     {HttpVerbPROPFIND, "", "PROPFIND"},
               {HttpVerbMKCOL, "", "MKCOL"},     {HttpVerbSEARCH, "", "SEARCH"},
               {HttpVerbUnknown, "PATCH", "PATCH"}, {HttpVerbUnknown, "", ""}};
  for (const auto& c : cases) {
    RecordBuilder b(c.verb, "/", c.unknown);
    EXPECT_EQ(GetHttpServerRequest(b.request, nullptr, 0).Method, c.method);
  }
}

TEST(GetHttpServerRequest, KnownHeadersInIdOrderAndTheRawValues) {
  RecordBuilder b(HttpVerbGET, "/");
  b.Header(HttpHeaderUserAgent, "ua/1")
      .Header(HttpHeaderHost, "h:1")
      .Header(HttpHeaderCookie, "a=1; b=2")
      .Header(HttpHeaderAcceptEncoding, "gzip, deflate")
      .Header(HttpHeaderContentType, "text/plain; charset=x")
      .Header(HttpHeaderCacheControl, "no-cache")
      .Header(HttpHeaderPragma, "");  // empty: left out
  b.keep.push_back("X-Custom");
  b.keep.push_back("1");
  HTTP_UNKNOWN_HEADER custom{8, 1, b.keep[b.keep.size() - 2].c_str(), b.keep.back().c_str()};
  b.request.Headers.UnknownHeaderCount = 1;
  b.request.Headers.pUnknownHeaders = &custom;

  const THttpServerRequest info = GetHttpServerRequest(b.request, nullptr, 0);
  EXPECT_EQ(info.Headers,
            "Cache-Control: no-cache\r\n"
            "Content-Type: text/plain; charset=x\r\n"
            "Accept-Encoding: gzip, deflate\r\n"
            "Cookie: a=1; b=2\r\n"
            "Host: h:1\r\n"
            "User-Agent: ua/1\r\n");
  EXPECT_EQ(info.ContentType, "text/plain; charset=x");
  EXPECT_EQ(info.AcceptEncoding, "gzip, deflate");
  EXPECT_EQ(info.Cookies, "a=1; b=2");
  EXPECT_EQ(info.Content, "");
  EXPECT_FALSE(info.AuthExists);
}

TEST(GetHttpServerRequest, AllFortyOneNamesInOrder) {
  RecordBuilder b(HttpVerbGET, "/");
  std::string expected;
  for (int id = 0; id < HttpHeaderRequestMaximum; ++id) {
    if (id == HttpHeaderContentLength) continue;  // a length would start a body read
    b.Header(id, "v" + std::to_string(id));
    expected += std::string(KnownRequestHeaderName(id)) + ": v" + std::to_string(id) + "\r\n";
  }
  EXPECT_EQ(GetHttpServerRequest(b.request, nullptr, 0).Headers, expected);
  EXPECT_EQ(KnownRequestHeaderName(0), "Cache-Control");
  EXPECT_EQ(KnownRequestHeaderName(16), "Content-MD5");
  EXPECT_EQ(KnownRequestHeaderName(38), "TE");
  EXPECT_EQ(KnownRequestHeaderName(40), "User-Agent");
  EXPECT_EQ(KnownRequestHeaderName(41), "");
}

TEST(GetHttpServerRequest, ContentLengthParsing) {
  // No queue: a positive length tries a read that fails at once, leaving Content empty.
  const struct {
    const char* value;
    std::int32_t length;
  } cases[] = {{"", 0},        {"0", 0},    {"  12abc", 12}, {"abc", 0},
               {"-5", 0},      {"\t7", 7},  {"2147483647", 2147483647},
               {"00000000000000000042", 42}};
  for (const auto& c : cases) {
    RecordBuilder b(HttpVerbPOST, "/");
    if (*c.value) b.Header(HttpHeaderContentLength, c.value);
    const THttpServerRequest info = GetHttpServerRequest(b.request, nullptr, 0);
    EXPECT_EQ(info.ContentLength, c.length) << '"' << c.value << '"';
    EXPECT_EQ(info.Content, "");
  }
}

TEST(GetHttpServerRequest, LengthBeyondInt32IsRefused) {
  for (const char* value : {"2147483648", "4294967296", "99999999999999999999999"}) {
    RecordBuilder b(HttpVerbPOST, "/");
    b.Header(HttpHeaderContentLength, value);
    EXPECT_THROW(GetHttpServerRequest(b.request, nullptr, 0), TlumWSRequestTooLarge) << value;
  }
}

// ---------------------------------------------------------------------------------------
// Over the engine: one queue, a raw loopback client

using loopback::FreePort;

// Sends `request`, optionally half-closes, and reads until the server closes (10 s at most).
std::string Exchange(int port, const std::string& request, bool halfClose) {
  loopback::Client c(port);
  if (!c.Connected()) return {};
  c.Send(request);
  if (halfClose) c.ShutdownWrite();
  return c.ReadAll();
}

class RecordOverEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(HttpInitialize(HTTPAPI_VERSION_2, HTTP_INITIALIZE_SERVER, nullptr), NO_ERROR);
    ASSERT_EQ(HttpCreateServerSession(HTTPAPI_VERSION_2, &session_, 0), NO_ERROR);
    ASSERT_EQ(HttpCreateUrlGroup(session_, &group_, 0), NO_ERROR);
    ASSERT_EQ(HttpCreateRequestQueue(HTTPAPI_VERSION_2, nullptr, nullptr, 0, &queue_), NO_ERROR);
    HTTP_BINDING_INFO binding{};
    binding.Flags.Present = 1;
    binding.RequestQueueHandle = queue_;
    ASSERT_EQ(HttpSetUrlGroupProperty(group_, HttpServerBindingProperty, &binding, sizeof binding),
              NO_ERROR);
    port_ = FreePort();
    const std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/";
    ASSERT_EQ(HttpAddUrlToUrlGroup(group_, url.c_str(), 0, 0), NO_ERROR);
    // A receive that never gets its request must not hang the test.
    watchdog_ = std::thread([this] {
      for (int i = 0; i < 200 && !done_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      HttpShutdownRequestQueue(queue_);
    });
  }
  void TearDown() override {
    done_ = true;
    if (watchdog_.joinable()) watchdog_.join();
    HttpCloseRequestQueue(queue_);
    HttpCloseUrlGroup(group_);
    HttpCloseServerSession(session_);
    HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
  }
  // Receives the next request into buffer_.
  HTTP_REQUEST_V2* Receive() {
    buffer_.assign(sizeof(HTTP_REQUEST_V2) + 16384, 0);
    auto* request = reinterpret_cast<HTTP_REQUEST_V2*>(buffer_.data());
    ULONG bytes = 0;
    const ULONG rc = HttpReceiveHttpRequest(queue_, HTTP_NULL_ID, 0, request,
                                            static_cast<ULONG>(buffer_.size()), &bytes, nullptr);
    return rc == NO_ERROR ? request : nullptr;
  }

  HTTP_SERVER_SESSION_ID session_ = 0;
  HTTP_URL_GROUP_ID group_ = 0;
  HANDLE queue_ = nullptr;
  int port_ = 0;
  std::vector<unsigned char> buffer_;
  std::atomic<bool> done_{false};
  std::thread watchdog_;
};

TEST_F(RecordOverEngine, ReadsTheWholeBodyAndTheRecordFromTheWire) {
  std::string body(200000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  const std::string head = "PUT /up%20load/x?k=%76 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                           "Content-Type: application/octet-stream\r\nX-Not-Known: 1\r\n"
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  std::string reply;
  std::thread client([&] { reply = Exchange(port_, head + body, false); });
  HTTP_REQUEST_V2* request = Receive();
  ASSERT_NE(request, nullptr);
  const THttpServerRequest info = GetHttpServerRequest(*request, queue_, request->RequestId);
  EXPECT_EQ(info.Method, "PUT");
  EXPECT_EQ(info.Document, "/up load/x");
  EXPECT_EQ(info.QueryParams, "k=v");
  EXPECT_EQ(info.ContentLength, 200000);
  EXPECT_EQ(info.Content.size(), body.size());
  EXPECT_TRUE(info.Content == body);
  EXPECT_EQ(info.Headers.find("X-Not-Known"), std::string::npos);
  EXPECT_NE(info.Headers.find("Host: 127.0.0.1\r\n"), std::string::npos);
  EXPECT_EQ(SendHttpStatusAndDisconnect(queue_, request->RequestId, 204), NO_ERROR);
  client.join();
  EXPECT_EQ(reply.rfind("HTTP/1.1 204", 0), 0u) << reply;
}

TEST_F(RecordOverEngine, ABodyCutShortGivesTheBytesThatCame) {
  std::string reply;
  std::thread client([&] {
    reply = Exchange(port_, "POST /short HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\n12345", true);
  });
  HTTP_REQUEST_V2* request = Receive();
  ASSERT_NE(request, nullptr);
  const THttpServerRequest info = GetHttpServerRequest(*request, queue_, request->RequestId);
  EXPECT_EQ(info.ContentLength, 10);
  EXPECT_EQ(info.Content, "12345");
  SendHttpStatusAndDisconnect(queue_, request->RequestId, 400);
  client.join();
}

TEST_F(RecordOverEngine, ALengthBeyondInt32IsAnswered413AndNotRead) {
  std::string reply;
  std::thread client([&] {
    reply = Exchange(port_, "POST /big HTTP/1.1\r\nHost: h\r\nContent-Length: 3000000000\r\n\r\nabc",
                     false);
  });
  HTTP_REQUEST_V2* request = Receive();
  ASSERT_NE(request, nullptr);
  EXPECT_THROW(GetHttpServerRequest(*request, queue_, request->RequestId), TlumWSRequestTooLarge);
  client.join();  // the server closed the connection: the client's read ended
  EXPECT_EQ(reply.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << reply;
  EXPECT_NE(reply.find("Server: Quillon 4.4.6\r\n"), std::string::npos) << reply;
}

}  // namespace
}  // namespace quillon
