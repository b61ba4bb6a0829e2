// The server handshake: header lines and their messages, sub-protocol choice, origin masks,
// the 101 lines with the accept key and the extension answer.
#include <gtest/gtest.h>

#include "connection/MemoryConnection.h"
#include "connection/lumWebSocket_Extensions.h"
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"
#include "connection/lumWebSocket_Handshake.h"

namespace quillon::test {
namespace {

const std::vector<std::string> kRequest = {
    "GET /chat?x=1 HTTP/1.1",
    "Host: server.example.com",
    "Upgrade: websocket",
    "Connection: Upgrade",
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
    "Origin: http://example.com",
    "Sec-WebSocket-Version: 13",
};

std::vector<std::string> With(std::vector<std::string> lines, std::initializer_list<std::string> add) {
  lines.insert(lines.end(), add);
  return lines;
}

std::vector<std::string> Without(std::vector<std::string> lines, std::string_view prefix) {
  std::erase_if(lines, [&](const std::string& l) { return l.starts_with(prefix); });
  return lines;
}

std::vector<std::string> Replace(std::vector<std::string> lines, std::string_view prefix,
                                 std::string line) {
  for (auto& l : lines) {
    if (l.starts_with(prefix)) l = line;
  }
  return lines;
}

TEST(Handshake, AcceptKeyOfTheSampleNonce) {
  EXPECT_EQ(GetWSAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(Handshake, ParsesTheRequestLines) {
  TlumWSHandShakeServer_Base h(With(kRequest, {"Sec-WebSocket-Protocol: chat, superchat",
                                               "Sec-WebSocket-Extensions: permessage-deflate"}));
  EXPECT_EQ(h.Get(), "/chat?x=1");
  EXPECT_EQ(h.Host(), "server.example.com");
  EXPECT_EQ(h.Key(), "dGhlIHNhbXBsZSBub25jZQ==");
  EXPECT_EQ(h.Origin(), "http://example.com");
  EXPECT_EQ(h.Version(), "13");
  EXPECT_EQ(h.Protocols(), "chat, superchat");
  EXPECT_EQ(h.Extensions(), "permessage-deflate");
  EXPECT_EQ(h.Specification(), spRFC6455);
}

TEST(Handshake, HeaderLineTable) {
  struct {
    const char* Name;
    std::vector<std::string> Lines;
    std::string Message;  // empty: accepted
  } cases[] = {
      {"minimal: key only", {"GET / HTTP/1.1", "Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAA=="}, ""},
      {"version 8", Replace(kRequest, "Sec-WebSocket-Version", "Sec-WebSocket-Version: 8"), ""},
      {"keep-alive, Upgrade", Replace(kRequest, "Connection", "Connection: keep-alive, Upgrade"), ""},
      {"no key", Without(kRequest, "Sec-WebSocket-Key"), "Error Decoding Header: WebSocket-Key"},
      {"HTTP/1.0", Replace(kRequest, "GET", "GET /chat HTTP/1.0"), "Error Decoding Header: GET"},
      {"no HTTP", Replace(kRequest, "GET", "GET /chat"), "Error Decoding Header: GET"},
      {"upgrade to two protocols", Replace(kRequest, "Upgrade", "Upgrade: websocket, h2c"),
       "Error Decoding Header: WebSocket"},
      {"connection without upgrade", Replace(kRequest, "Connection", "Connection: keep-alive"),
       "Error Decoding Header: Upgrade"},
      {"Sec-WebSocket-Origin", With(kRequest, {"Sec-WebSocket-Origin: http://x"}),
       "Error Decoding Header: Origin"},
      {"X-Forwarded-Host", With(kRequest, {"X-Forwarded-Host: x"}), "Error Decoding Header: Host"},
      {"key not at the start", With(kRequest, {"X-Sec-WebSocket-Key: k"}),
       "Error Decoding Header: WebSocket-Key"},
      {"version not at the start", With(kRequest, {"X-Sec-WebSocket-Version: 13"}),
       "Error Decoding Header: WebSocket Version"},
      {"protocol not at the start stores nothing", With(kRequest, {"X-Sec-WebSocket-Protocol: a"}), ""},
  };
  for (const auto& tc : cases) {
    std::string raised;
    try {
      TlumWSHandShakeServer_Base h(tc.Lines);
    } catch (const TlumWSException& e) {
      raised = e.what();
    }
    EXPECT_EQ(raised, tc.Message) << tc.Name;
  }
}

// The key must be 16 bytes in Base64; anything else is refused like a missing key line.
TEST(Handshake, KeyMustBeSixteenBytesInBase64) {
  struct {
    const char* Key;
    bool Accepted;
  } cases[] = {
      {"dGhlIHNhbXBsZSBub25jZQ==", true},
      {"AAAAAAAAAAAAAAAAAAAAAA==", true},
      {"+/+/+/+/+/+/+/+/+/+/+w==", true},
      {"  dGhlIHNhbXBsZSBub25jZQ==\t", true},      // spaces around a header value
      {"", false},
      {" ", false},
      {"abc", false},
      {"dGhlIHNhbXBsZSBub25jZQ", false},          // padding missing
      {"dGhlIHNhbXBsZSBub25jZQ=", false},
      {"AAAAAAAAAAAAAAAAAAAA", false},            // 15 bytes
      {"AAAAAAAAAAAAAAAAAAAAAAA=", false},        // 17 bytes
      {"AAAAAAAAAAAAAAAAAAAAAAAA", false},        // 18 bytes
      {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", false},
      {"!!!!!!!!!!!!!!!!!!!!!!==", false},        // not the alphabet
      {"dGhlIHNhbXBsZSBub25jZ-_==", false},       // the URL-safe alphabet
      {"dGhlIHNhbXBs ZSBub25jZQ==", false},       // a space inside
      {"dGhlIHNhbXBsZSBub25j====", false},
      {"dGhlIHNhbXBsZSBub25jZQ==dGhlIHNhbXBsZSBub25jZQ==", false},
  };
  for (const auto& tc : cases) {
    std::string raised;
    try {
      TlumWSHandShakeServer_Base h(Replace(kRequest, "Sec-WebSocket-Key",
                                           std::string("Sec-WebSocket-Key: ") + tc.Key));
      EXPECT_EQ(h.Key(), tc.Key) << "the key is kept as sent";
    } catch (const TlumWSException& e) {
      raised = e.what();
    }
    EXPECT_EQ(raised, tc.Accepted ? "" : "Error Decoding Header: WebSocket-Key") << '"' << tc.Key << '"';
  }
  // The last key line counts, as for every other kind.
  std::string raised;
  try {
    TlumWSHandShakeServer_Base h(With(kRequest, {"Sec-WebSocket-Key: short"}));
  } catch (const TlumWSException& e) {
    raised = e.what();
  }
  EXPECT_EQ(raised, "Error Decoding Header: WebSocket-Key");
  TlumWSHandShakeServer_Base h(
      With(Replace(kRequest, "Sec-WebSocket-Key", "Sec-WebSocket-Key: short"),
           {"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="}));
  EXPECT_EQ(h.Key(), "dGhlIHNhbXBsZSBub25jZQ==");
}

struct THandshakeResult {
  std::string Error;
  std::string Protocol;
  std::vector<std::string> Response;
};

THandshakeResult RunHandshake(const std::vector<std::string>& aLines, const std::string& aServerProtocols,
                              const std::string& aOrigins = "", bool aDeflate = false) {
  TConnectionPtr c(new TMemoryConnection());
  c->HeadersRequest() = aLines;
  c->SetProtocol(aServerProtocols);
  c->SetServerOriginsAllowed(aOrigins);
  if (aDeflate) {
    c->Extensions().SetMode(appServer);
    c->Extensions().PerMessage_Deflate().SetEnabled(true);
  }
  THandshakeResult r;
  try {
    c->ReadData(true);
    r.Protocol = c->Protocol();
    r.Response = c->HeadersResponse();
    EXPECT_EQ(c->Transport(), trpRFC6455);
  } catch (const TlumWSException& e) {
    r.Error = e.what();
  }
  return r;
}

TEST(Handshake, AnswersWithThe101Lines) {
  const auto r = RunHandshake(kRequest, "");
  ASSERT_EQ(r.Error, "");
  EXPECT_EQ(r.Response, (std::vector<std::string>{
                            "HTTP/1.1 101 Switching Protocols", "Upgrade: websocket",
                            "Connection: Upgrade",
                            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=",
                            "Server: Quillon 4.4.6"}));
}

TEST(Handshake, ProtocolNegotiation) {
  struct {
    const char* Name;
    std::string Offered;  // empty: no header
    std::string Server;
    std::string Chosen;
    std::string Error;
  } cases[] = {
      {"no offer, server has some", "", "chat", "", ""},
      {"first match in client order", "superchat,chat", "chat,superchat", "superchat", ""},
      {"letter case ignored, client spelling kept", "CHAT", "chat", "CHAT", ""},
      {"second without space", "a,chat", "chat", "chat", ""},
      {"second after a space keeps it", "a, chat", "chat", "", "Error Protocol: a\r\n chat\r\n not supported."},
      {"offer, server has none", "chat", "", "", "Error Protocol: chat\r\n not supported."},
  };
  for (const auto& tc : cases) {
    auto lines = kRequest;
    if (!tc.Offered.empty()) lines.push_back("Sec-WebSocket-Protocol: " + tc.Offered);
    const auto r = RunHandshake(lines, tc.Server);
    EXPECT_EQ(r.Error, tc.Error) << tc.Name;
    EXPECT_EQ(r.Protocol, tc.Chosen) << tc.Name;
    if (!tc.Chosen.empty()) {
      EXPECT_EQ(r.Response[3], "Sec-WebSocket-Protocol: " + tc.Chosen) << tc.Name;
    } else if (r.Error.empty()) {
      EXPECT_EQ(r.Response.size(), 5u) << tc.Name;
    }
  }
}

TEST(Handshake, OriginMasks) {
  const std::string allowed = "http://exact.org,*.example.com";
  struct {
    std::string Origin;  // empty: no Origin line
    bool Passes;
  } cases[] = {
      {"http://exact.org", true},   {"HTTP://EXACT.ORG", true},
      {"http://a.example.com", true}, {"http://other.org", false},
      {"http://exact.org.evil", false}, {"", true},
  };
  for (const auto& tc : cases) {
    auto lines = Without(kRequest, "Origin");
    if (!tc.Origin.empty()) lines.push_back("Origin: " + tc.Origin);
    const auto r = RunHandshake(lines, "", allowed);
    EXPECT_EQ(r.Error, tc.Passes ? "" : "Origin " + tc.Origin + " not allowed") << tc.Origin;
  }
  EXPECT_EQ(RunHandshake(kRequest, "", "").Error, "");  // no masks: no check
}

TEST(Handshake, NegotiatedExtensionIsAnswered) {
  const auto r = RunHandshake(
      With(kRequest, {"Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits"}), "",
      "", true);
  ASSERT_EQ(r.Error, "");
  EXPECT_EQ(r.Response.back(),
            "Sec-WebSocket-Extensions: permessage-deflate;client_max_window_bits=15");
  // Disabled (the default): nothing is negotiated or answered.
  const auto plain = RunHandshake(
      With(kRequest, {"Sec-WebSocket-Extensions: permessage-deflate"}), "", "", false);
  EXPECT_EQ(plain.Response.size(), 5u);
}

TEST(Handshake, TheHandshakeEventMayChangeTheAnswer) {
  TConnectionPtr c(new TMemoryConnection());
  c->HeadersRequest() = kRequest;
  c->OnHandshake = [](TlumWSConnection*, std::vector<std::string>& lines) {
    lines.push_back("X-Extra: 1");
  };
  c->ReadData(true);
  EXPECT_EQ(c->HeadersResponse().back(), "X-Extra: 1");
}

TEST(Authentication, EventDecidesAndSessionIdIsStable) {
  TConnectionPtr c(new TMemoryConnection());
  c->Authentication().User = "u";
  c->Authentication().Password = "p";
  c->OnAuthentication = [](TlumWSConnection*, const std::string& u, const std::string& p, bool& ok) {
    ok = u == "u" && p == "p";
  };
  EXPECT_TRUE(c->DoAuthentication());
  EXPECT_TRUE(c->Authentication().Authenticated);
  const std::string id = c->Authentication().SessionID();
  EXPECT_EQ(id.size(), 32u);
  EXPECT_EQ(c->Authentication().SessionID(), id);
  EXPECT_EQ(c->AuthenticationCloseCode(), 1000);
}

}  // namespace
}  // namespace quillon::test
