// Compression extensions: negotiation from offer headers, RSV1 marking, and payloads checked
// against zlib used directly as the peer would use it.
#include "connection/lumWebSocket_Extensions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "connection/lumWebSocket_Extensions_DeflateFrame.h"
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"
#include "util/lumWebSocket_Exception.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string Bytes(std::initializer_list<int> aBytes) {
  std::string s;
  for (int b : aBytes) s.push_back(static_cast<char>(b));
  return s;
}

// Pseudo-random text with long-distance repeats: a block of noise, then the same block again.
std::string RepeatedNoise(std::size_t aBlock, unsigned aSeed) {
  std::mt19937 rng(aSeed);
  std::string block(aBlock, '\0');
  for (char& c : block) c = static_cast<char>('a' + rng() % 26);
  return block + block;
}

// The peer's side, written with zlib directly: one raw stream per direction, sync flush, the
// 00 00 FF FF tail removed by the sender and put back by the receiver.
class ZPeerDeflater {
 public:
  explicit ZPeerDeflater(int aWindowBits) {
    EXPECT_EQ(deflateInit2(&FZ, 6, Z_DEFLATED, -aWindowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  }
  ~ZPeerDeflater() { deflateEnd(&FZ); }
  std::string Message(const std::string& aText) {
    std::string out(aText.size() + 1024, '\0');
    FZ.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aText.data()));
    FZ.avail_in = static_cast<uInt>(aText.size());
    FZ.next_out = reinterpret_cast<Bytef*>(out.data());
    FZ.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&FZ, Z_SYNC_FLUSH), Z_OK);
    EXPECT_EQ(FZ.avail_in, 0u);
    out.resize(out.size() - FZ.avail_out);
    EXPECT_EQ(out.substr(out.size() - 4), Bytes({0, 0, 0xFF, 0xFF}));
    out.resize(out.size() - 4);
    return out;
  }

 private:
  z_stream FZ{};
};

class ZPeerInflater {
 public:
  explicit ZPeerInflater(int aWindowBits) {
    EXPECT_EQ(inflateInit2(&FZ, -aWindowBits), Z_OK);
  }
  ~ZPeerInflater() { inflateEnd(&FZ); }
  // Returns zlib's result code through aRc; the text decoded so far.
  std::string Message(std::string aData, int* aRc = nullptr) {
    aData += Bytes({0, 0, 0xFF, 0xFF});
    std::string out(1 << 20, '\0');
    FZ.next_in = reinterpret_cast<Bytef*>(aData.data());
    FZ.avail_in = static_cast<uInt>(aData.size());
    FZ.next_out = reinterpret_cast<Bytef*>(out.data());
    FZ.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&FZ, Z_SYNC_FLUSH);
    if (aRc) {
      *aRc = rc;
    } else {
      EXPECT_EQ(rc, Z_OK) << (FZ.msg ? FZ.msg : "");
    }
    out.resize(out.size() - FZ.avail_out);
    return out;
  }

 private:
  z_stream FZ{};
};

// A server-side set as a connection holds it after the handshake.
struct Negotiated {
  explicit Negotiated(const std::string& aOffer, bool aPerMessage = true, bool aFrame = false) {
    ext.SetMode(appServer);
    ext.PerMessage_Deflate().SetEnabled(aPerMessage);
    ext.DeflateFrame().SetEnabled(aFrame);
    ext.DecodeExtensions(aOffer);
  }
  std::string Send(std::string aText, bool aFin = true) {
    ext.WriteStream(aText, aFin);
    return aText;
  }
  std::string Receive(std::string aData, std::uint8_t aFirstByte = 0xC1) {
    ext.DecodeHeader(aFirstByte);
    EXPECT_TRUE(ext.ReadStream(aData));
    return aData;
  }
  TlumWSExtensions ext;
};

// ---------------------------------------------------------------------------------------------
// Negotiation

struct OfferCase {
  const char* offer;
  bool perMessage;  // enabled on the server
  bool frame;
  std::vector<std::string> answer;  // lines WriteHeader appends
  const char* error;                // expected exception text, or null
};

class OfferTable : public ::testing::TestWithParam<OfferCase> {};

TEST_P(OfferTable, AnswersTheOffer) {
  const OfferCase& c = GetParam();
  TlumWSExtensions ext;
  ext.SetMode(appServer);
  ext.PerMessage_Deflate().SetEnabled(c.perMessage);
  ext.DeflateFrame().SetEnabled(c.frame);
  if (c.error) {
    try {
      ext.DecodeExtensions(c.offer);
      FAIL() << "no exception for " << c.offer;
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
    return;
  }
  ext.DecodeExtensions(c.offer);
  std::vector<std::string> lines;
  ext.WriteHeader(lines);
  EXPECT_EQ(lines, c.answer) << c.offer;
  EXPECT_EQ(ext.ExtensionNegotiated(), !c.answer.empty());
  EXPECT_EQ(ext.Compression(), !c.answer.empty());
}

const std::string kPmd = "Sec-WebSocket-Extensions: permessage-deflate";
const std::string kDf = "Sec-WebSocket-Extensions: x-webkit-deflate-frame";

INSTANTIATE_TEST_SUITE_P(
    Extensions, OfferTable,
    ::testing::Values(
        // As browsers offer it.
        OfferCase{"permessage-deflate; client_max_window_bits", true, false,
                  {kPmd + ";client_max_window_bits=15"}, nullptr},
        OfferCase{"permessage-deflate; client_max_window_bits=10", true, false,
                  {kPmd + ";client_max_window_bits=10"}, nullptr},
        OfferCase{"permessage-deflate; client_max_window_bits=\"9\"", true, false,
                  {kPmd + ";client_max_window_bits=9"}, nullptr},
        OfferCase{"permessage-deflate; client_max_window_bits=20", true, false, {},
                  "Invalid Value for WindowBits 20"},
        OfferCase{"permessage-deflate; client_max_window_bits=7", true, false, {},
                  "Invalid Value for WindowBits 7"},
        OfferCase{"permessage-deflate; client_max_window_bits=x", true, false, {},
                  "'x' is not a valid integer value"},
        OfferCase{"permessage-deflate; server_no_context_takeover", true, false,
                  {kPmd + ";server_no_context_takeover"}, nullptr},
        OfferCase{"permessage-deflate;client_no_context_takeover;server_no_context_takeover",
                  true, false,
                  {kPmd + ";client_no_context_takeover;server_no_context_takeover"}, nullptr},
        // The peer's own window limit must be answered, under whichever name it used.
        OfferCase{"permessage-deflate; server_max_window_bits=10", true, false,
                  {kPmd + ";server_max_window_bits=10"}, nullptr},
        OfferCase{"permessage-deflate; serv_max_window_bits=12", true, false,
                  {kPmd + ";serv_max_window_bits=12"}, nullptr},
        // Parameter names are matched exactly; unknown ones are left out of the answer.
        OfferCase{"permessage-deflate; Client_Max_Window_Bits=10; x=1", true, false, {kPmd},
                  nullptr},
        OfferCase{"PerMessage-Deflate", true, false, {kPmd}, nullptr},
        // The first matching item wins; later ones change nothing.
        OfferCase{"permessage-deflate; client_max_window_bits=9, permessage-deflate", true, false,
                  {kPmd + ";client_max_window_bits=9"}, nullptr},
        // Disabled (the default): nothing is negotiated.
        OfferCase{"permessage-deflate; client_max_window_bits", false, false, {}, nullptr},
        OfferCase{"x-webkit-deflate-frame", true, false, {}, nullptr},
        OfferCase{"", true, true, {}, nullptr},
        OfferCase{"x-webkit-deflate-frame", false, true, {kDf}, nullptr},
        // A later item does not undo an earlier match.
        OfferCase{"x-webkit-deflate-frame, foo", false, true, {kDf}, nullptr},
        // At most one extension; permessage-deflate first wherever it is offered.
        OfferCase{"permessage-deflate", true, true, {kPmd}, nullptr},
        OfferCase{"x-webkit-deflate-frame, permessage-deflate", true, true, {kPmd}, nullptr},
        OfferCase{"x-webkit-deflate-frame, permessage-deflate", false, true, {kDf}, nullptr}));

TEST(ExtensionsNegotiation, ActiveExtensionIsListedAndTakesTheOfferedParameters) {
  Negotiated n("permessage-deflate; client_max_window_bits=10; server_max_window_bits=11",
               true, true);
  EXPECT_THAT(n.ext.List(), ElementsAre("permessage-deflate"));
  EXPECT_TRUE(n.ext.PerMessage_Deflate().Active());
  EXPECT_FALSE(n.ext.DeflateFrame().Active());
  EXPECT_EQ(n.ext.PerMessage_Deflate().ClientMaxWindowBits(), 10);
  EXPECT_EQ(n.ext.PerMessage_Deflate().ServerMaxWindowBits(), 11);

  Negotiated none("permessage-deflate", false, false);
  EXPECT_THAT(none.ext.List(), IsEmpty());
}

// A server that will not keep the client's history must say so, or the client's second
// message would refer to data the server has dropped.
TEST(ExtensionsNegotiation, ConfiguredClientNoContextTakeoverIsAnnounced) {
  TlumWSExtensions server;
  server.SetMode(appServer);
  server.PerMessage_Deflate().SetEnabled(true);
  server.PerMessage_Deflate().SetClientNoContextTakeOver(true);
  TlumWSExtensions conn;
  conn.Assign(server);
  conn.DecodeExtensions("permessage-deflate; client_max_window_bits");
  std::vector<std::string> lines;
  conn.WriteHeader(lines);
  EXPECT_THAT(lines, ElementsAre(kPmd + ";client_max_window_bits=15;client_no_context_takeover"));
}

TEST(ExtensionsNegotiation, AssignCopiesOptionsButNeverNegotiationState) {
  TlumWSExtensions server;
  server.SetMode(appServer);
  auto& pmd = server.PerMessage_Deflate();
  pmd.SetEnabled(true);
  pmd.SetServerMaxWindowBits(12);
  pmd.SetClientMaxWindowBits(11);
  pmd.SetServerNoContextTakeOver(true);
  pmd.SetClientNoContextTakeOver(true);
  pmd.SetMemLevel(4);
  server.DeflateFrame().SetEnabled(true);
  server.DeflateFrame().SetWindowBits(10);
  pmd.SetActive(true);

  TlumWSExtensions conn;
  conn.Assign(server);
  const auto& c = conn.PerMessage_Deflate();
  EXPECT_EQ(conn.Mode(), appServer);
  EXPECT_EQ(c.Mode(), appServer);
  EXPECT_EQ(conn.DeflateFrame().Mode(), appServer);
  EXPECT_TRUE(c.Enabled());
  EXPECT_EQ(c.ServerMaxWindowBits(), 12);
  EXPECT_EQ(c.ClientMaxWindowBits(), 11);
  EXPECT_TRUE(c.ServerNoContextTakeOver());
  EXPECT_TRUE(c.ClientNoContextTakeOver());
  EXPECT_EQ(c.MemLevel(), 9);  // a connection always compresses with memory level 9
  EXPECT_TRUE(conn.DeflateFrame().Enabled());
  EXPECT_EQ(conn.DeflateFrame().WindowBits(), 10);
  EXPECT_FALSE(c.Active());
  EXPECT_FALSE(conn.ExtensionNegotiated());
}

TEST(ExtensionsNegotiation, WindowBitsOutsideEightToFifteenAreRefused) {
  TlumWSExtension_PerMessage_Deflate pmd;
  TlumWSExtension_DeflateFrame df;
  for (int bad : {7, 16, -1}) {
    EXPECT_THROW(pmd.SetServerMaxWindowBits(bad), std::invalid_argument);
    EXPECT_THROW(pmd.SetClientMaxWindowBits(bad), std::invalid_argument);
    EXPECT_THROW(df.SetWindowBits(bad), std::invalid_argument);
  }
  EXPECT_EQ(pmd.ServerMaxWindowBits(), 15);
  EXPECT_EQ(pmd.ClientMaxWindowBits(), 15);
  EXPECT_EQ(df.WindowBits(), 15);
  try {
    df.SetWindowBits(16);
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Invalid Value for WindowBits 16");
  }
}

// ---------------------------------------------------------------------------------------------
// Frame header bits

TEST(ExtensionsHeader, Rsv1MarksDataFramesOnlyAndFollowsTheFirstFrameOfAMessage) {
  struct Case {
    std::uint8_t in;
    std::uint8_t pmd, df, none;  // EncodeHeader results
  };
  const Case cases[] = {
      {0x81, 0xC1, 0xC1, 0x81},  // text, final
      {0x02, 0x42, 0x42, 0x02},  // binary, more to come
      {0x80, 0x80, 0xC0, 0x80},  // final continuation: RSV1 per frame only for deflate-frame
      {0x89, 0x89, 0x89, 0x89},  // ping
      {0x8A, 0x8A, 0x8A, 0x8A},  // pong
      {0x88, 0x88, 0x88, 0x88},  // close
  };
  Negotiated pmd("permessage-deflate");
  Negotiated df("x-webkit-deflate-frame", false, true);
  Negotiated none("permessage-deflate", false, false);
  for (const Case& c : cases) {
    std::uint8_t a = c.in, b = c.in, d = c.in;
    pmd.ext.EncodeHeader(a);
    df.ext.EncodeHeader(b);
    none.ext.EncodeHeader(d);
    EXPECT_EQ(a, c.pmd) << int(c.in);
    EXPECT_EQ(b, c.df) << int(c.in);
    EXPECT_EQ(d, c.none) << int(c.in);
  }
}

TEST(ExtensionsHeader, ReceivedRsvBitsAreCheckedAgainstTheNegotiation) {
  Negotiated pmd("permessage-deflate");
  Negotiated df("x-webkit-deflate-frame", false, true);
  Negotiated none("", false, false);
  struct Case {
    std::uint8_t b0;
    bool pmd, df, none;
  };
  const Case cases[] = {
      {0x81, true, true, true},    {0xC1, true, true, false},   {0xC2, true, true, false},
      {0xC0, false, true, false},  // RSV1 on a continuation
      {0xC9, false, false, false},  // RSV1 on a ping
      {0xA1, false, false, false},  // RSV2
      {0x91, false, false, false},  // RSV3
      {0x89, true, true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pmd.ext.IsValidRSV(c.b0), c.pmd) << int(c.b0);
    EXPECT_EQ(df.ext.IsValidRSV(c.b0), c.df) << int(c.b0);
    EXPECT_EQ(none.ext.IsValidRSV(c.b0), c.none) << int(c.b0);
  }
}

TEST(ExtensionsHeader, ControlFrameBetweenFragmentsDoesNotChangeTheMessageFlag) {
  Negotiated n("permessage-deflate");
  n.ext.DecodeHeader(0x41);  // compressed text, more to come
  n.ext.DecodeHeader(0x89);  // ping in between
  n.ext.DecodeHeader(0x80);  // final continuation
  EXPECT_TRUE(n.ext.MessageCompressed());
  n.ext.DecodeHeader(0x81);
  EXPECT_FALSE(n.ext.MessageCompressed());
}

TEST(ExtensionsHeader, NothingChangesWhileNoExtensionIsActive) {
  Negotiated n("permessage-deflate", false, false);
  std::string payload = "Hello";
  n.ext.WriteStream(payload);
  EXPECT_EQ(payload, "Hello");
  n.ext.DecodeHeader(0xC1);
  EXPECT_FALSE(n.ext.MessageCompressed());
  EXPECT_TRUE(n.ext.ReadStream(payload));
  EXPECT_EQ(payload, "Hello");
}

// ---------------------------------------------------------------------------------------------
// permessage-deflate payloads

// The examples of RFC 7692: "Hello", then "Hello" again using the first as history.
TEST(PerMessageDeflate, CompressesHelloAsTheRfcExamples) {
  Negotiated takeover("permessage-deflate");
  EXPECT_EQ(takeover.Send("Hello"), Bytes({0xf2, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00}));
  EXPECT_EQ(takeover.Send("Hello"), Bytes({0xf2, 0x00, 0x11, 0x00, 0x00}));

  Negotiated fresh("permessage-deflate; server_no_context_takeover");
  EXPECT_EQ(fresh.Send("Hello"), Bytes({0xf2, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00}));
  EXPECT_EQ(fresh.Send("Hello"), Bytes({0xf2, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00}));
}

TEST(PerMessageDeflate, DecompressesTheRfcExamples) {
  Negotiated n("permessage-deflate");
  EXPECT_EQ(n.Receive(Bytes({0xf2, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00})), "Hello");
  EXPECT_EQ(n.Receive(Bytes({0xf2, 0x00, 0x11, 0x00, 0x00})), "Hello");  // uses the history
  // Stored (uncompressed) block.
  EXPECT_EQ(n.Receive(Bytes({0x00, 0x05, 0x00, 0xfa, 0xff, 0x48, 0x65, 0x6c, 0x6c, 0x6f, 0x00})),
            "Hello");
  // A final block of the peer's own ends its stream; the history stays usable afterwards.
  EXPECT_EQ(n.Receive(Bytes({0xf3, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00, 0x00})), "Hello");
  EXPECT_EQ(n.Receive(Bytes({0xf2, 0x00, 0x11, 0x00, 0x00})), "Hello");
}

TEST(PerMessageDeflate, EmptyMessagesBothWays) {
  Negotiated n("permessage-deflate");
  EXPECT_EQ(n.Send(""), Bytes({0x00}));
  EXPECT_EQ(n.Send(""), Bytes({0x00}));
  ZPeerInflater peer(15);
  EXPECT_EQ(peer.Message(Bytes({0x00})), "");
  // Some peers send an empty payload with RSV1 for an empty message.
  EXPECT_EQ(n.Receive(""), "");
  EXPECT_EQ(n.Receive(Bytes({0x00})), "");
  EXPECT_EQ(n.Receive(Bytes({0xf2, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00})), "Hello");
}

// Our compression decoded by zlib as a peer would: with takeover one stream across messages,
// without it a fresh inflater per message; the window the peer allowed is never exceeded.
TEST(PerMessageDeflate, OurMessagesDecodeWithZlibForEveryWindowAndTakeover) {
  const std::vector<std::string> messages = {RepeatedNoise(3000, 1), "Hello", "Hello",
                                             RepeatedNoise(300, 2), std::string(70000, 'x'),
                                             RepeatedNoise(3000, 1)};
  for (int bits : {8, 9, 10, 12, 15}) {
    for (bool noTakeover : {false, true}) {
      std::string offer = "permessage-deflate; server_max_window_bits=" + std::to_string(bits);
      if (noTakeover) offer += "; server_no_context_takeover";
      SCOPED_TRACE(offer);
      Negotiated n(offer);
      ZPeerInflater shared(bits);
      for (const std::string& m : messages) {
        const std::string wire = n.Send(m);
        if (noTakeover) {
          ZPeerInflater fresh(bits);
          EXPECT_EQ(fresh.Message(wire), m);
        } else {
          EXPECT_EQ(shared.Message(wire), m);
        }
      }
    }
  }
}

TEST(PerMessageDeflate, ZlibMessagesDecodeWithOursForEveryWindowAndTakeover) {
  const std::vector<std::string> messages = {RepeatedNoise(3000, 3), "Hello", "Hello",
                                             std::string(100000, 'y'), RepeatedNoise(3000, 3)};
  for (int bits : {9, 10, 15}) {
    for (bool noTakeover : {false, true}) {
      std::string offer = "permessage-deflate; client_max_window_bits=" + std::to_string(bits);
      if (noTakeover) offer += "; client_no_context_takeover";
      SCOPED_TRACE(offer);
      Negotiated n(offer);
      ZPeerDeflater shared(bits);
      for (const std::string& m : messages) {
        if (noTakeover) {
          ZPeerDeflater fresh(bits);
          EXPECT_EQ(n.Receive(fresh.Message(m)), m);
        } else {
          EXPECT_EQ(n.Receive(shared.Message(m)), m);
        }
      }
    }
  }
}

// A client that did not name its window may use all 15 bits, whatever the server prefers.
TEST(PerMessageDeflate, UnnamedClientWindowIsDecodedWithTheFullWindow) {
  TlumWSExtensions server;
  server.SetMode(appServer);
  server.PerMessage_Deflate().SetEnabled(true);
  server.PerMessage_Deflate().SetClientMaxWindowBits(9);
  TlumWSExtensions conn;
  conn.Assign(server);
  conn.DecodeExtensions("permessage-deflate");
  ZPeerDeflater peer(15);
  const std::string text = RepeatedNoise(8000, 4);
  std::string data = peer.Message(text);
  conn.DecodeHeader(0xC1);
  ASSERT_TRUE(conn.ReadStream(data));
  EXPECT_EQ(data, text);
}

TEST(PerMessageDeflate, SecondIdenticalMessageIsSmallerButHistoryOffStaysTheSame) {
  const std::string text = RepeatedNoise(200, 5);
  Negotiated takeover("permessage-deflate");
  const std::size_t first = takeover.Send(text).size();
  EXPECT_LT(takeover.Send(text).size(), first / 4);
  Negotiated fresh("permessage-deflate; server_no_context_takeover");
  EXPECT_EQ(fresh.Send(text).size(), fresh.Send(text).size());
}

// A compressed message may arrive cut into frames at any point.
TEST(PerMessageDeflate, FragmentedMessageDecodesPieceByPiece) {
  const std::string a = RepeatedNoise(500, 6), b = "middle part", c = RepeatedNoise(500, 6);
  Negotiated r("permessage-deflate");
  ZPeerDeflater sender(15);
  const std::string message = a + b + c;
  std::string compressed = sender.Message(message);
  std::string out;
  r.ext.DecodeHeader(0x41);
  std::size_t pos = 0;
  for (std::size_t cut : {std::size_t{1}, std::size_t{7}, compressed.size() / 2}) {
    std::string piece = compressed.substr(pos, cut);
    pos += piece.size();
    ASSERT_TRUE(r.ext.ReadStream(piece, false));
    out += piece;
  }
  std::string last = compressed.substr(pos);
  r.ext.DecodeHeader(0x80);
  ASSERT_TRUE(r.ext.ReadStream(last, true));
  out += last;
  EXPECT_EQ(out, message);
  EXPECT_EQ(r.Receive(sender.Message("Hello")), "Hello");
}

// RSV1 goes on the first frame only (see the header test); the frames' payloads together
// are one message for the peer.
TEST(PerMessageDeflate, FragmentedWriteDecodesAsOneMessage) {
  Negotiated n("permessage-deflate");
  const std::string a = RepeatedNoise(500, 7), b = "", c = "tail";
  std::string wire = n.Send(a, false);
  wire += n.Send(b, false);
  wire += n.Send(c, true);
  const std::string next = n.Send("Hello");
  ZPeerInflater peer(15);
  EXPECT_EQ(peer.Message(wire), a + b + c);
  EXPECT_EQ(peer.Message(next), "Hello");
}

// ---------------------------------------------------------------------------------------------
// deflate-frame payloads

TEST(DeflateFrame, EveryFrameIsCompressedOnItsOwnWithOneHistoryPerDirection) {
  for (int bits : {8, 10, 15}) {
    SCOPED_TRACE(bits);
    TlumWSExtensions ext;
    ext.SetMode(appServer);
    ext.DeflateFrame().SetEnabled(true);
    ext.DeflateFrame().SetWindowBits(bits);
    ext.DecodeExtensions("x-webkit-deflate-frame");
    ZPeerInflater peer(bits);
    for (const std::string& m : {RepeatedNoise(2000, 8), std::string("Hello"),
                                 std::string("Hello"), RepeatedNoise(2000, 8)}) {
      std::string wire = m;
      ext.WriteStream(wire, false);
      EXPECT_EQ(peer.Message(wire), m);
    }
    if (bits == 8) continue;  // zlib itself cannot write with a 256-byte window
    ZPeerDeflater sender(bits);
    for (const std::string& m : {RepeatedNoise(2000, 9), std::string("Hello"),
                                 std::string("Hello")}) {
      std::string wire = sender.Message(m);
      ext.DecodeHeader(0x40);  // a compressed continuation frame
      ASSERT_TRUE(ext.ReadStream(wire));
      EXPECT_EQ(wire, m);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Limits and hostile input

TEST(ExtensionsLimits, DecompressedSizeIsBoundedByTheCallersLimit) {
  ZPeerDeflater peer(15);
  const std::string text(100000, 'z');
  const std::string wire = peer.Message(text);
  for (std::size_t limit : {text.size(), text.size() - 1}) {
    Negotiated n("permessage-deflate");
    std::string data = wire;
    n.ext.DecodeHeader(0xC1);
    EXPECT_EQ(n.ext.ReadStream(data, true, limit), limit == text.size());
    if (limit == text.size()) {
      EXPECT_EQ(data, text);
    }
  }
}

TEST(ExtensionsLimits, BombIsStoppedAtTheLimitQuickly) {
  // 64 MiB of zeros compress to about 64 KiB.
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  const std::string zeros(1 << 20, '\0');
  std::string bomb(1 << 20, '\0');
  z.next_out = reinterpret_cast<Bytef*>(bomb.data());
  z.avail_out = static_cast<uInt>(bomb.size());
  for (int i = 0; i < 64; ++i) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    z.avail_in = static_cast<uInt>(zeros.size());
    ASSERT_EQ(deflate(&z, i == 63 ? Z_SYNC_FLUSH : Z_NO_FLUSH), Z_OK);
  }
  bomb.resize(bomb.size() - z.avail_out - 4);
  deflateEnd(&z);

  Negotiated n("permessage-deflate");
  const auto start = std::chrono::steady_clock::now();
  n.ext.DecodeHeader(0xC1);
  EXPECT_FALSE(n.ext.ReadStream(bomb, true, 1 << 20));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_LE(bomb.size(), std::size_t{(1 << 20) + 1});
}

TEST(ExtensionsLimits, CorruptDataRaisesAndTrailingBytesAfterAFinalBlockAreIgnored) {
  const std::vector<std::string> corrupt = {
      Bytes({0xff, 0xff, 0xff, 0xff}),              // reserved block type
      Bytes({0x00, 0x05, 0x00, 0x00, 0x00, 0x41}),  // stored block with a bad length check
      Bytes({0xf2, 0x00, 0x11, 0x00, 0x00}),        // refers to history that does not exist
  };
  for (const std::string& c : corrupt) {
    Negotiated n("permessage-deflate");
    std::string data = c;
    n.ext.DecodeHeader(0xC1);
    try {
      n.ext.ReadStream(data);
      ADD_FAILURE() << "no exception";
    } catch (const TlumWSException& e) {
      EXPECT_STREQ(e.what(), "Error Deflating Frame.");
    }
  }
  // Anything after the end of the peer's DEFLATE stream is dropped, not decoded or looped on.
  Negotiated n("permessage-deflate");
  EXPECT_EQ(n.Receive(Bytes({0xf3, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00, 0xff, 0xff, 0x13})),
            "Hello");
  EXPECT_EQ(n.Receive(Bytes({0xf2, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00})), "Hello");
}

}  // namespace
}  // namespace quillon
