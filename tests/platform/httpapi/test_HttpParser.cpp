// Request head parsing and chunked decoding: what is accepted, what each malformed input is
// answered with, and feeding in arbitrary pieces.
#include "platform/httpapi/HttpParser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using quillon::platform::detail::BodyKind;
using quillon::platform::detail::ChunkedDecoder;
using quillon::platform::detail::HttpLimits;
using quillon::platform::detail::ParseStatus;
using quillon::platform::detail::RequestHeadParser;

// A GET head of exactly `size` bytes, padded in one header value.
std::string HeadOfSize(std::size_t size) {
  const std::string start = "GET / HTTP/1.1\r\nHost: a\r\nX: ", end = "\r\n\r\n";
  return start + std::string(size - start.size() - end.size(), 'p') + end;
}

struct Case {
  const char* name;
  std::string input;
  int status;  // 0: parses
};

TEST(HttpParser, MalformedHeadsGetTheirStatus) {
  const Case cases[] = {
      {"plain", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", 0},
      {"http10 needs no host", "GET / HTTP/1.0\r\n\r\n", 0},
      {"bare LF lines", "GET / HTTP/1.1\nHost: a\n\n", 0},
      {"leading blank lines", "\r\n\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n", 0},
      {"absolute form", "GET http://a/b HTTP/1.1\r\nHost: a\r\n\r\n", 0},
      {"missing host", "GET / HTTP/1.1\r\n\r\n", 400},
      {"two hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
      {"no version", "GET /\r\nHost: a\r\n\r\n", 400},
      {"http2", "GET / HTTP/2.0\r\nHost: a\r\n\r\n", 505},
      {"http09", "GET / HTTP/0.9\r\nHost: a\r\n\r\n", 505},
      {"garbage version", "GET / HTTQ/1.1\r\nHost: a\r\n\r\n", 400},
      {"bad method char", "G(T / HTTP/1.1\r\nHost: a\r\n\r\n", 400},
      {"relative target", "GET a/b HTTP/1.1\r\nHost: a\r\n\r\n", 400},
      {"space before colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", 400},
      {"folded header", "GET / HTTP/1.1\r\nHost: a\r\nX: b\r\n  c\r\n\r\n", 400},
      {"bare CR", "GET / HTTP/1.1\r\nHost: a\rX: b\r\n\r\n", 400},
      {"control in value", std::string("GET / HTTP/1.1\r\nHost: a\r\nX: a\x01z\r\n\r\n"), 400},
      {"no colon", "GET / HTTP/1.1\r\nHost: a\r\nJunk\r\n\r\n", 400},
      {"bad length", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1x\r\n\r\n", 400},
      {"negative length", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: -1\r\n\r\n", 400},
      {"uncountable length",
       "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1234567890123456789\r\n\r\n", 413},
      {"longest countable length",
       "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 999999999999999999\r\n\r\n", 0},
      {"conflicting lengths",
       "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
      {"length and chunked",
       "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
      {"unknown coding", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n\r\n", 501},
      {"odd expectation", "POST / HTTP/1.1\r\nHost: a\r\nExpect: magic\r\n\r\n", 417},
      {"long request line", "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: a\r\n\r\n", 414},
      {"long head", "GET / HTTP/1.1\r\nHost: a\r\nX: " + std::string(17000, 'b') + "\r\n\r\n", 431},
      // The head limit counts from the request line: blank lines before it do not use it up.
      {"blank lines before a head at the limit", std::string(60, '\n') + HeadOfSize(16 * 1024), 0},
      {"blank lines before a head past the limit",
       std::string(60, '\n') + HeadOfSize(16 * 1024 + 8), 431},
  };
  for (const Case& c : cases) {
    RequestHeadParser parser;
    ParseStatus st = parser.Feed(c.input);
    if (c.status == 0) {
      EXPECT_EQ(st, ParseStatus::Done) << c.name << " -> " << parser.errorStatus();
    } else {
      EXPECT_EQ(st, ParseStatus::Error) << c.name;
      EXPECT_EQ(parser.errorStatus(), c.status) << c.name;
    }
  }
}

TEST(HttpParser, LimitsAreSeenBeforeTheHeadIsComplete) {
  // A client that never ends its line must not make us buffer without bound.
  RequestHeadParser parser;
  std::string line = "GET /" + std::string(9000, 'a');
  EXPECT_EQ(parser.Feed(line), ParseStatus::Error);
  EXPECT_EQ(parser.errorStatus(), 414);
  RequestHeadParser headers;
  std::string head = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 2000; ++i) head += "X-" + std::to_string(i) + ": value\r\n";
  EXPECT_EQ(headers.Feed(head), ParseStatus::Error);
  EXPECT_EQ(headers.errorStatus(), 431);
}

// Input that has not ended a line yet: bytes that can never be part of a request head fail
// at once, whatever follows; the others wait for more.
TEST(HttpParser, BytesNoHeadMayHoldFailBeforeALineEnds) {
  const struct {
    const char* name;
    std::string input;
    ParseStatus status;
  } cases[] = {
      {"policy-file request", std::string("<policy-file-request/>\0", 23), ParseStatus::Error},
      {"control byte in the target", "GET /a\x01", ParseStatus::Error},
      {"DEL in the method", "GE\x7fT", ParseStatus::Error},
      {"NUL in a header value", std::string("GET / HTTP/1.1\r\nX-A: a\0", 24), ParseStatus::Error},
      {"TLS record instead of HTTP", std::string("\x16\x03\x01\x02\x00\x01", 6),
       ParseStatus::Error},
      {"tab in a header value", "GET / HTTP/1.1\r\nX-A: a\tb", ParseStatus::NeedMore},
      {"8-bit bytes in the target", "GET /caf\xc3\xa9", ParseStatus::NeedMore},
      {"a request line in progress", "GET /index.html HTTP/1.", ParseStatus::NeedMore},
  };
  for (const auto& c : cases) {
    RequestHeadParser parser;
    EXPECT_EQ(parser.Feed(c.input), c.status) << c.name;
    if (c.status == ParseStatus::Error) {
      EXPECT_EQ(parser.errorStatus(), 400) << c.name;
    }
  }
}

TEST(HttpParser, ByteByByteFeedingGivesTheSameHead) {
  const std::string input =
      "POST /p?q HTTP/1.1\r\nHost: h\r\nContent-Length: 12\r\nConnection: close\r\n"
      "X-A:  spaced value  \r\n\r\nBODY";
  RequestHeadParser whole;
  ASSERT_EQ(whole.Feed(input), ParseStatus::Done);
  RequestHeadParser parser;
  ParseStatus st = ParseStatus::NeedMore;
  std::size_t n = 0;
  while (st == ParseStatus::NeedMore && n < input.size()) st = parser.Feed(std::string_view(input).substr(0, ++n));
  ASSERT_EQ(st, ParseStatus::Done);
  const auto& h = parser.head();
  EXPECT_EQ(h.headLength, input.size() - 4);
  EXPECT_EQ(h.headLength, whole.head().headLength);
  EXPECT_EQ(h.verb, HttpVerbPOST);
  EXPECT_EQ(h.body, BodyKind::Length);
  EXPECT_EQ(h.contentLength, 12u);
  EXPECT_FALSE(h.keepAlive);
  ASSERT_EQ(h.headers.size(), 4u);
  EXPECT_EQ(input.substr(h.headers[3].valueOffset, h.headers[3].valueLength), "spaced value");
  EXPECT_EQ(h.headers[3].knownId, -1);
  EXPECT_EQ(h.headers[1].knownId, HttpHeaderContentLength);
}

TEST(HttpParser, KeepAliveFollowsVersionAndConnectionHeader) {
  struct {
    const char* head;
    bool keep;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n", false},
      {"GET / HTTP/1.1\r\nHost: a\r\nConnection: Upgrade, Close\r\n\r\n", false},
      {"GET / HTTP/1.0\r\n\r\n", false},
      {"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", true},
  };
  for (auto& c : cases) {
    RequestHeadParser p;
    ASSERT_EQ(p.Feed(c.head), ParseStatus::Done) << c.head;
    EXPECT_EQ(p.head().keepAlive, c.keep) << c.head;
  }
}

std::string Dechunk(const std::string& input, ChunkedDecoder::Status& st, std::size_t step) {
  ChunkedDecoder d;
  std::string out, pending;
  st = ChunkedDecoder::Status::NeedMore;
  for (std::size_t i = 0; i < input.size() && st == ChunkedDecoder::Status::NeedMore; i += step) {
    pending += input.substr(i, step);
    std::size_t consumed = 0;
    st = d.Decode(pending, consumed, [&](std::size_t off, std::size_t n) { out.append(pending, off, n); });
    pending.erase(0, consumed);
  }
  return out;
}

TEST(HttpParser, ChunkedBodiesDecodeInAnyPieces) {
  const std::string body = "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\nTrailer: x\r\n\r\n";
  for (std::size_t step : {std::size_t{1}, std::size_t{3}, body.size()}) {
    ChunkedDecoder::Status st;
    EXPECT_EQ(Dechunk(body, st, step), "hello world") << step;
    EXPECT_EQ(st, ChunkedDecoder::Status::Done) << step;
  }
  const char* bad[] = {"x\r\n", "5\r\nhelloXX", "5\r\nhello\r\n-1\r\n", "fffffffffffffffff\r\n"};
  for (const char* b : bad) {
    ChunkedDecoder::Status st;
    Dechunk(b, st, 1);
    EXPECT_EQ(st, ChunkedDecoder::Status::Error) << b;
  }
}

}  // namespace
