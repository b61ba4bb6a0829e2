// Frame reader and writers over the in-memory transport: wire vectors, byte splits,
// protocol errors with their close codes, fragment policies, pings, limits, compression.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <thread>

#include "connection/MemoryConnection.h"
#include "connection/lumWebSocket_Extensions.h"
#include "connection/lumWebSocket_Extensions_DeflateFrame.h"
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"

namespace quillon::test {
namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

// What the application sees.
struct TRecorder {
  std::vector<std::string> Texts;
  std::vector<std::string> Binaries;
  struct TFragment {
    std::string Data;
    TOpcode OpCode;
    bool Continuation;
  };
  std::vector<TFragment> Fragments;

  void Attach(TMemoryConnection& c) {
    c.OnMessage = [this](TlumWSConnection*, const std::string& t) { Texts.push_back(t); };
    c.OnBinary = [this](TlumWSConnection*, TBytesView d) { Binaries.emplace_back(AsText(d)); };
    c.OnFragmented = [this](TlumWSConnection*, TBytesView d, TOpcode op, bool cont) {
      Fragments.push_back({std::string(AsText(d)), op, cont});
    };
  }
};

// ---- RFC 6455 section 5.7 examples and split delivery ----

struct TVector {
  const char* Name;
  std::string Wire;
  std::vector<std::string> Texts;
  std::vector<std::string> Binaries;
  std::string Answer;  // bytes the server writes back
};

std::vector<TVector> Vectors() {
  const std::string big(256, 'x');
  const std::string huge(65536, 'y');
  return {
      {"unmasked text", Bytes({0x81, 0x05, 'H', 'e', 'l', 'l', 'o'}), {"Hello"}, {}, ""},
      {"masked text",
       Bytes({0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58}),
       {"Hello"}, {}, ""},
      {"fragmented text", Bytes({0x01, 0x03, 'H', 'e', 'l', 0x80, 0x02, 'l', 'o'}), {"Hello"}, {}, ""},
      {"ping", Bytes({0x89, 0x05, 'H', 'e', 'l', 'l', 'o'}), {}, {},
       Bytes({0x8a, 0x05, 'H', 'e', 'l', 'l', 'o'})},
      {"256 bytes binary", Bytes({0x82, 0x7E, 0x01, 0x00}) + big, {}, {big}, ""},
      {"64 KiB binary", Bytes({0x82, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0}) + huge, {}, {huge}, ""},
      {"ping inside a fragmented message",
       ClientFrame(0x01, "Hel") + ClientFrame(0x89, "p") + ClientFrame(0x80, "lo"), {"Hello"}, {},
       Bytes({0x8a, 0x01, 'p'})},
      {"empty unmasked text", Bytes({0x81, 0x00}), {""}, {}, ""},
      {"two messages in one read", ClientFrame(0x81, "a") + ClientFrame(0x82, "b"), {"a"}, {"b"}, ""},
  };
}

void ExpectDecodes(const TVector& v, const std::vector<std::string>& pieces) {
  auto c = NewConnection();
  TRecorder r;
  r.Attach(*c);
  for (const auto& p : pieces) c->Feed(p);
  EXPECT_EQ(r.Texts, v.Texts) << v.Name;
  EXPECT_EQ(r.Binaries, v.Binaries) << v.Name;
  EXPECT_EQ(c->AllWritten(), v.Answer) << v.Name;
  EXPECT_FALSE(c->Disconnected()) << v.Name;
  EXPECT_EQ(c->RecBytes(), static_cast<std::int64_t>(v.Wire.size())) << v.Name;
}

// The tests' own encoder against the RFC's bytes: what the other tests feed is right.
TEST(FrameReader, TheTestEncoderWritesTheRfcExamples) {
  EXPECT_EQ(ClientFrame(0x81, "Hello"),
            Bytes({0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58}));
  EXPECT_EQ(ClientFrame(0x81, "Hello", false), Bytes({0x81, 0x05, 'H', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(ClientFrame(0x82, std::string(256, 'x'), false).substr(0, 4),
            Bytes({0x82, 0x7E, 0x01, 0x00}));
  EXPECT_EQ(ClientFrame(0x82, std::string(65536, 'y'), false).substr(0, 10),
            Bytes({0x82, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0}));
}

TEST(FrameReader, DecodesTheVectorsWhole) {
  for (const auto& v : Vectors()) ExpectDecodes(v, {v.Wire});
}

TEST(FrameReader, DecodesTheVectorsSplitAtEveryByte) {
  for (const auto& v : Vectors()) {
    if (v.Wire.size() > 1000) continue;
    for (std::size_t k = 1; k < v.Wire.size(); ++k) {
      ExpectDecodes(v, {v.Wire.substr(0, k), v.Wire.substr(k)});
    }
    std::vector<std::string> bytes;
    for (char ch : v.Wire) bytes.emplace_back(1, ch);
    ExpectDecodes(v, bytes);
  }
}

TEST(FrameReader, DecodesLargeFramesInRandomPieces) {
  std::mt19937 gen(7);
  for (const auto& v : Vectors()) {
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < v.Wire.size();) {
      const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 20000)(gen);
      pieces.push_back(v.Wire.substr(at, n));
      at += n;
    }
    ExpectDecodes(v, pieces);
  }
}

TEST(FrameReader, MaskedPayloadOfEveryLengthUnmasks) {
  // Exercises the eight-byte unmasking and its tail at every alignment.
  for (std::size_t n = 0; n < 40; ++n) {
    std::string payload;
    for (std::size_t i = 0; i < n; ++i) payload += static_cast<char>('a' + i % 26);
    auto c = NewConnection();
    TRecorder r;
    r.Attach(*c);
    c->Feed(ClientFrame(0x82, payload));
    ASSERT_EQ(r.Binaries.size(), 1u);
    EXPECT_EQ(r.Binaries[0], payload);
  }
}

// ---- Protocol errors ----

struct TErrorCase {
  const char* Name;
  std::string Wire;
  std::string Message;  // empty: an orderly close, nothing raised
  int SentCode;         // close code the server answers with
};

std::vector<TErrorCase> ErrorCases() {
  const std::uint8_t bigLength[] = {0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4};
  return {
      {"continuation first", ClientFrame(0x80, "x"),
       "Unfragmented message after continuation frame with FIN", 1002},
      {"continuation after a whole message", ClientFrame(0x81, "a") + ClientFrame(0x80, "x"),
       "Unfragmented message after continuation frame with FIN", 1002},
      {"text inside a message", ClientFrame(0x01, "a") + ClientFrame(0x81, "b"),
       "OpCode error, received opText after Continuation not finished", 1002},
      {"binary inside a message", ClientFrame(0x02, "a") + ClientFrame(0x82, "b"),
       "OpCode error, received opBinary after Continuation not finished", 1002},
      {"text after a ping inside a message",
       ClientFrame(0x01, "a") + ClientFrame(0x89, "") + ClientFrame(0x81, "b"),
       "OpCode error, received opText after Continuation not finished", 1002},
      {"opcode 3", ClientFrame(0x83, ""), "Invalid Control OptCode", 1002},
      {"opcode 11", ClientFrame(0x8B, ""), "Invalid Control OptCode", 1002},
      {"RSV1 without extension", ClientFrame(0xC1, "a"),
       "Invalid value of RSV while no Extension Negotiated", 1002},
      {"RSV3 without extension", ClientFrame(0x91, "a"),
       "Invalid value of RSV while no Extension Negotiated", 1002},
      {"fragmented ping", ClientFrame(0x09, "a"), "Control Message must not be fragmented", 1002},
      {"ping of 126 bytes", ClientFrame(0x89, std::string(126, 'p')),
       "Control frames are only allowed to have payload up to and including 125 octets", 1002},
      {"close with one byte", ClientFrame(0x88, "\x03"), "Invalid Payload length for close code",
       1002},
      {"close 1005", ClientFrame(0x88, Bytes({0x03, 0xED})), "Invalid close code", 1002},
      {"close 1006", ClientFrame(0x88, Bytes({0x03, 0xEE})), "Invalid close code", 1002},
      {"close 1015", ClientFrame(0x88, Bytes({0x03, 0xF7})), "Invalid close code", 1002},
      {"close 999", ClientFrame(0x88, Bytes({0x03, 0xE7})), "Invalid close code", 1002},
      {"close 5000", ClientFrame(0x88, Bytes({0x13, 0x88})), "Invalid close code", 1002},
      {"close 1000", ClientFrame(0x88, Bytes({0x03, 0xE8})), "", 1000},
      {"close 1011", ClientFrame(0x88, Bytes({0x03, 0xF3})), "", 1000},
      {"close 4999", ClientFrame(0x88, Bytes({0x13, 0x87})), "", 1000},
      {"close 999 with a reason", ClientFrame(0x88, Bytes({0x03, 0xE7}) + "bye"),
       "Invalid close code", 1002},
      {"close 1004 with a reason", ClientFrame(0x88, Bytes({0x03, 0xEC}) + "x"),
       "Invalid close code", 1002},
      {"close 1016", ClientFrame(0x88, Bytes({0x03, 0xF8})), "Invalid close code", 1002},
      {"close 2999 with a reason", ClientFrame(0x88, Bytes({0x0B, 0xB7}) + "x"),
       "Invalid close code", 1002},
      {"close 0 with a reason", ClientFrame(0x88, Bytes({0x00, 0x00}) + "x"), "Invalid close code",
       1002},
      {"close 1012", ClientFrame(0x88, Bytes({0x03, 0xF4})), "", 1000},
      {"close 1014 with a reason", ClientFrame(0x88, Bytes({0x03, 0xF6}) + "x"), "", 1000},
      {"close 3000 with a reason", ClientFrame(0x88, Bytes({0x0B, 0xB8}) + "x"), "", 1000},
      {"RSV1 on a continuation without extension", ClientFrame(0x01, "a") + ClientFrame(0xC0, "b"),
       "Invalid value of RSV while no Extension Negotiated", 1002},
      {"RSV2 on a continuation without extension", ClientFrame(0x01, "a") + ClientFrame(0xA0, "b"),
       "Invalid value of RSV while no Extension Negotiated", 1002},
      {"invalid UTF-8 in a first fragment", ClientFrame(0x01, Bytes({'o', 'k', 0xC0})),
       "Invalid UTF8 message", 1007},
      {"invalid UTF-8 in the middle of a frame still arriving",
       ClientFrame(0x81, Bytes({'a', 'b', 0xFF}) + std::string(100, 'x')).substr(0, 9),
       "Invalid UTF8 message", 1007},
      {"a text ending inside a code point", ClientFrame(0x01, "a") + ClientFrame(0x80, Bytes({0xE2, 0x82})),
       "Invalid UTF8 message", 1007},
      {"empty close", ClientFrame(0x88, ""), "", 1000},
      {"unmasked empty close", Bytes({0x88, 0x00}), "", 1000},
      {"invalid UTF-8 text", ClientFrame(0x81, Bytes({0xED, 0xA0, 0x80})), "Invalid UTF8 message",
       1007},
      {"text above U+10FFFF", ClientFrame(0x81, Bytes({0xF4, 0x90, 0x80, 0x80})),
       "Invalid UTF8 message", 1007},
      {"text ending in a lone F4", ClientFrame(0x81, Bytes({'a', 0xF4})), "Invalid UTF8 message",
       1007},
      {"invalid UTF-8 close reason", ClientFrame(0x88, Bytes({0x03, 0xE8, 0xC0, 0x80})),
       "Invalid UTF8 message", 1007},
      {"64-bit length with its top bit set",
       std::string(reinterpret_cast<const char*>(bigLength), sizeof bigLength),
       "Invalid frame payload length", 1002},
  };
}

TEST(FrameReader, ErrorsCloseWithTheirMessageAndCode) {
  for (const auto& tc : ErrorCases()) {
    auto c = NewConnection();
    c->SetCleanDisconnect(true);
    c->SetValidateUTF8(true);
    std::string raised;
    try {
      c->Feed(tc.Wire);
    } catch (const TlumWSException& e) {
      raised = e.what();
    }
    EXPECT_EQ(raised, tc.Message) << tc.Name;
    EXPECT_TRUE(c->Disconnected()) << tc.Name;
    EXPECT_EQ(c->DisconnectPeerCount, 1) << tc.Name;
    const auto frames = ParseFrames(c->AllWritten());
    ASSERT_FALSE(frames.empty()) << tc.Name;
    const auto& close = frames.back();
    EXPECT_EQ(close.FirstByte, 0x88) << tc.Name;
    ASSERT_EQ(close.Payload.size(), 2u) << tc.Name;
    EXPECT_EQ((static_cast<std::uint8_t>(close.Payload[0]) << 8) |
                  static_cast<std::uint8_t>(close.Payload[1]),
              tc.SentCode)
        << tc.Name;
  }
}

TEST(FrameReader, ServerDefaultsDropThePeerWithoutACloseFrame) {
  auto c = NewConnection();
  c->SetCleanDisconnect(false);
  EXPECT_THROW(c->Feed(ClientFrame(0x83, "")), TlumWSException);
  EXPECT_TRUE(c->Writes.empty());
  EXPECT_EQ(c->DisconnectPeerCount, 1);
  // A second error cannot close twice.
  c->DoCloseConnection("again", 1002);
  EXPECT_EQ(c->DisconnectPeerCount, 1);
}

TEST(FrameReader, CloseFrameRecordsCodeAndReason) {
  auto c = NewConnection();
  c->Feed(ClientFrame(0x88, Bytes({0x0F, 0xA0}) + "going away"));
  EXPECT_EQ(c->CloseCode(), 4000);
  EXPECT_EQ(c->CloseReason(), "going away");
  EXPECT_TRUE(c->Disconnected());
}

TEST(FrameReader, NothingIsReadAfterTheConnectionClosed) {
  auto c = NewConnection();
  TRecorder r;
  r.Attach(*c);
  c->Feed(ClientFrame(0x88, "") + ClientFrame(0x81, "late"));
  EXPECT_TRUE(r.Texts.empty());
}

// The owner frees a connection (a server going down) while a completed read still holds
// it: the reader must end with input left, wherever in a frame it was, and deliver nothing
// more. A reader that loops is reported and the process ends, since it cannot be joined.
TEST(FrameReader, ReadingEndsWhenTheConnectionIsFreedUnderAReader) {
  const std::string frame = ClientFrame(0x81, "late");
  const struct {
    const char* Name;
    std::string Before;  // fed before the free
  } cases[] = {
      {"before the first frame", ""},
      {"inside a frame header", frame.substr(0, 3)},
      {"inside a payload", frame.substr(0, frame.size() - 2)},
      {"between frames", frame},
  };
  for (const auto& k : cases) {
    TMemoryConnection* c = NewConnection().release();
    TRecorder r;
    r.Attach(*c);
    c->Feed(k.Before);
    c->AddRef();  // the outstanding read's reference
    c->Free();
    std::packaged_task<void()> read([c, &frame] { c->Feed(frame + frame); });
    std::future<void> done = read.get_future();
    std::thread reader(std::move(read));
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      std::fprintf(stderr, "reader still running after the free (%s)\n", k.Name);
      std::abort();
    }
    reader.join();
    EXPECT_NO_THROW(done.get()) << k.Name;
    const std::vector<std::string> expected =
        k.Before == frame ? std::vector<std::string>{"late"} : std::vector<std::string>{};
    EXPECT_EQ(r.Texts, expected) << k.Name;
    c->Release();
  }
}

TEST(FrameReader, UnmaskedFramesAreRefusedWhenMasksAreRequired) {
  auto c = NewConnection();
  c->ReceiveBytes("\x81\x01x", 3);
  try {
    c->ReadFrames(true);
    FAIL() << "no error";
  } catch (const TlumWSException& e) {
    EXPECT_STREQ(e.what(), "Message is not masked");
  }
}

TEST(FrameReader, InvalidUTF8PassesWhenValidationIsOff) {
  auto c = NewConnection();
  TRecorder r;
  r.Attach(*c);
  c->Feed(ClientFrame(0x81, Bytes({0xFF, 'a'})));
  ASSERT_EQ(r.Texts.size(), 1u);
  EXPECT_EQ(r.Texts[0], Bytes({0xFF, 'a'}));
}

// ---- Limits ----

TEST(FrameReader, AFrameAboveTheLimitClosesWith1009BeforeItsPayloadArrives) {
  auto c = NewConnection();
  c->SetMaxMessageSize(1000);
  c->SetCleanDisconnect(true);
  const std::string frame = ClientFrame(0x82, std::string(1001, 'z'));
  EXPECT_THROW(c->Feed(frame.substr(0, 8)), TlumWSException);  // header and key only
  const auto frames = ParseFrames(c->AllWritten());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].Payload, Bytes({0x03, 0xF1}));
}

TEST(FrameReader, AMessageAboveTheLimitAcrossFramesClosesWith1009) {
  auto c = NewConnection();
  c->SetMaxMessageSize(1000);
  TRecorder r;
  r.Attach(*c);
  c->Feed(ClientFrame(0x01, std::string(600, 'a')));
  try {
    c->Feed(ClientFrame(0x80, std::string(600, 'b')));
    FAIL() << "no error";
  } catch (const TlumWSException& e) {
    EXPECT_STREQ(e.what(), "Message too big");
  }
  EXPECT_TRUE(r.Texts.empty());
  // Exactly at the limit is fine.
  auto d = NewConnection();
  d->SetMaxMessageSize(1000);
  TRecorder s;
  s.Attach(*d);
  d->Feed(ClientFrame(0x01, std::string(500, 'a')) + ClientFrame(0x80, std::string(500, 'b')));
  ASSERT_EQ(s.Texts.size(), 1u);
  EXPECT_EQ(s.Texts[0].size(), 1000u);
}

// ---- Fragment policies ----

TEST(FragmentPolicy, OnlyFragmentedGivesOneEventPerFrameAndNoMessage) {
  auto c = NewConnection();
  c->SetFragmentedMessages(frgOnlyFragmented);
  TRecorder r;
  r.Attach(*c);
  c->Feed(ClientFrame(0x01, "ab") + ClientFrame(0x00, "cd") + ClientFrame(0x80, "ef"));
  ASSERT_EQ(r.Fragments.size(), 3u);
  EXPECT_EQ(r.Fragments[0].Data, "ab");
  EXPECT_EQ(r.Fragments[1].Data, "cd");
  EXPECT_EQ(r.Fragments[2].Data, "ef");
  EXPECT_TRUE(r.Fragments[0].Continuation);
  EXPECT_TRUE(r.Fragments[1].Continuation);
  EXPECT_FALSE(r.Fragments[2].Continuation);
  EXPECT_EQ(r.Fragments[2].OpCode, opText);
  EXPECT_TRUE(r.Texts.empty());
  // The message is over: a stray continuation is an error, a new message is not.
  c->Feed(ClientFrame(0x82, "g"));
  EXPECT_EQ(r.Fragments.size(), 4u);
  EXPECT_THROW(c->Feed(ClientFrame(0x80, "h")), TlumWSException);
}

TEST(FragmentPolicy, AllGivesGrowingFragmentsThenTheWholeMessage) {
  auto c = NewConnection();
  c->SetFragmentedMessages(frgAll);
  TRecorder r;
  r.Attach(*c);
  c->Feed(ClientFrame(0x01, "ab") + ClientFrame(0x00, "cd") + ClientFrame(0x80, "ef"));
  ASSERT_EQ(r.Fragments.size(), 3u);
  EXPECT_EQ(r.Fragments[2].Data, "abcdef");
  EXPECT_FALSE(r.Fragments[2].Continuation);
  EXPECT_EQ(r.Texts, std::vector<std::string>{"abcdef"});
}

TEST(FragmentPolicy, OnlyBufferAnswersAPingInsideAMessageAtOnce) {
  auto c = NewConnection();
  TRecorder r;
  r.Attach(*c);
  c->Feed(ClientFrame(0x01, "ab") + ClientFrame(0x89, "hi"));
  EXPECT_EQ(c->AllWritten(), Bytes({0x8A, 0x02, 'h', 'i'}));
  EXPECT_TRUE(r.Texts.empty());
  c->Feed(ClientFrame(0x80, "cd"));
  EXPECT_EQ(r.Texts, std::vector<std::string>{"abcd"});
}

// ---- Pings and pongs ----

TEST(Pings, APongMatchingTheSecondPingRemovesTheOldest) {
  auto c = NewConnection();
  c->Ping("one");
  c->Ping("two");
  EXPECT_EQ(c->QueuePingList().Count(), 2);
  const auto frames = ParseFrames(c->AllWritten());
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].FirstByte, 0x89);
  EXPECT_EQ(frames[1].Payload, "two");
  c->Feed(ClientFrame(0x8A, "two"));
  EXPECT_EQ(c->QueuePingList().Count(), 1);
  EXPECT_EQ(c->Pong(), "two");
  EXPECT_NE(c->LastPong(), TwsTime{});
  EXPECT_NE(c->FirstPing(), TwsTime{});
  EXPECT_TRUE(c->Ping("two", 1000));  // the last answered text counts at once
  EXPECT_FALSE(c->Ping("three", 0));
  EXPECT_FALSE(c->Disconnected());
}

TEST(Pings, AnUnsolicitedPongIsIgnored) {
  auto c = NewConnection();
  c->Feed(ClientFrame(0x8A, "stray"));
  EXPECT_FALSE(c->Disconnected());
  EXPECT_TRUE(c->Pong().empty());
}

TEST(Pings, A125BytePingIsEchoed) {
  auto c = NewConnection();
  const std::string payload(125, 'q');
  c->Feed(ClientFrame(0x89, payload));
  const auto frames = ParseFrames(c->AllWritten());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].FirstByte, 0x8A);
  EXPECT_EQ(frames[0].Payload, payload);
}

// ---- Writers ----

TEST(FrameWriter, LengthForms) {
  struct {
    std::size_t Size;
    std::string Header;
  } cases[] = {
      {0, Bytes({0x82, 0x00})},
      {125, Bytes({0x82, 0x7D})},
      {126, Bytes({0x82, 0x7E, 0x00, 0x7E})},
      {65535, Bytes({0x82, 0x7E, 0xFF, 0xFF})},
      {65536, Bytes({0x82, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0})},
  };
  for (const auto& tc : cases) {
    auto c = NewConnection();
    const std::string payload(tc.Size, 'p');
    c->WriteData(AsBytes(payload));
    ASSERT_EQ(c->Writes.size(), 1u);
    EXPECT_EQ(c->Writes[0], tc.Header + payload) << tc.Size;
  }
}

TEST(FrameWriter, EmptyAndNulTexts) {
  auto c = NewConnection();
  c->WriteData(std::string_view());
  c->WriteData(std::string_view("\0", 1));
  ASSERT_EQ(c->Writes.size(), 2u);
  EXPECT_EQ(c->Writes[0], Bytes({0x81, 0x00}));
  EXPECT_EQ(c->Writes[1], Bytes({0x81, 0x01, 0x00}));
}

TEST(FrameWriter, AnEmptyFragmentedWriteSendsNothing) {
  auto c = NewConnection();
  c->WriteFragmentedStream(TBytesView(), opBinary, false, 4);
  EXPECT_TRUE(c->Writes.empty());
}

TEST(FrameWriter, MaskedFramesDecodeWithTheirKey) {
  auto c = NewConnection();
  c->SetMasked(true);
  c->WriteData("masked text");
  ASSERT_EQ(c->Writes.size(), 1u);
  const std::string& w = c->Writes[0];
  ASSERT_EQ(static_cast<std::uint8_t>(w[1]), 0x80 | 11);
  std::string payload = w.substr(6);
  const auto* key = reinterpret_cast<const std::uint8_t*>(w.data() + 2);
  for (int i = 0; i < 4; ++i) EXPECT_NE(key[i], 255);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(payload[i] ^ key[i % 4]);
  EXPECT_EQ(payload, "masked text");
}

TEST(FrameWriter, AFailedWriteRaisesAndReleasesTheLock) {
  auto c = NewConnection();
  c->FailWrites = true;
  try {
    c->WriteData("x");
    FAIL() << "no error";
  } catch (const TlumWSException& e) {
    EXPECT_STREQ(e.what(), "Error writing message peer gone.");
  }
  c->FailWrites = false;
  std::thread other([&] { c->WriteData("y"); });  // would block if the lock were still held
  other.join();
  EXPECT_EQ(c->Writes.size(), 1u);
}

// ---- Compression ----

std::string Deflate(std::string_view text) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(text.size() + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_SYNC_FLUSH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  out.resize(out.size() - 4);  // the 00 00 FF FF tail
  return out;
}

std::string Inflate(std::string data) {
  data += Bytes({0x00, 0x00, 0xFF, 0xFF});
  z_stream z{};
  inflateInit2(&z, -15);
  std::string out(1 << 20, '\0');
  z.next_in = reinterpret_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  inflate(&z, Z_SYNC_FLUSH);
  out.resize(out.size() - z.avail_out);
  inflateEnd(&z);
  return out;
}

TConnectionPtr DeflateConnection() {
  auto c = NewConnection();
  c->Extensions().SetMode(appServer);
  c->Extensions().PerMessage_Deflate().SetEnabled(true);
  c->Extensions().DecodeExtensions("permessage-deflate; client_no_context_takeover");
  EXPECT_TRUE(c->Extensions().ExtensionNegotiated());
  return c;
}

TEST(Compression, ACompressedMessageIsDeliveredInflated) {
  auto c = DeflateConnection();
  TRecorder r;
  r.Attach(*c);
  const std::string text = "Hello, compressed world! Hello, compressed world!";
  c->Feed(ClientFrame(0xC1, Deflate(text)));
  EXPECT_EQ(r.Texts, std::vector<std::string>{text});
  // A plain message on the same connection stays plain.
  c->Feed(ClientFrame(0x81, "plain"));
  EXPECT_EQ(r.Texts.back(), "plain");
}

TEST(Compression, AFragmentedCompressedMessageWithAPingInsideIsInflated) {
  auto c = DeflateConnection();
  TRecorder r;
  r.Attach(*c);
  const std::string text(3000, 'w');
  const std::string z = Deflate(text);
  const std::size_t half = z.size() / 2;
  c->Feed(ClientFrame(0x41, z.substr(0, half)) + ClientFrame(0x89, "p") +
          ClientFrame(0x80, z.substr(half)));
  EXPECT_EQ(r.Texts, std::vector<std::string>{text});
  const auto frames = ParseFrames(c->AllWritten());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].FirstByte, 0x8A);  // the pong is not compressed
}

TEST(Compression, WritesAreCompressedAndMarkedWithRSV1) {
  auto c = DeflateConnection();
  const std::string text = "abcabcabcabcabcabcabcabcabcabcabcabc";
  c->WriteData(text);
  c->WriteData(text);
  c->Ping("p");
  const auto frames = ParseFrames(c->AllWritten());
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].FirstByte, 0xC1);
  EXPECT_EQ(Inflate(frames[0].Payload), text);
  EXPECT_LT(frames[0].Payload.size(), text.size());
  EXPECT_EQ(frames[2].FirstByte, 0x89);
  EXPECT_EQ(frames[2].Payload, "p");
}

TEST(Compression, AFragmentedWriteMarksOnlyItsFirstFrame) {
  auto c = DeflateConnection();
  const std::string text(100, 'k');
  c->WriteData(text, 40, stmNone);
  const auto frames = ParseFrames(c->AllWritten());
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].FirstByte, 0x41);
  EXPECT_EQ(frames[1].FirstByte, 0x00);
  EXPECT_EQ(frames[2].FirstByte, 0x80);
  EXPECT_EQ(Inflate(frames[0].Payload + frames[1].Payload + frames[2].Payload), text);
}

TEST(Compression, AnInflatedMessageAboveTheLimitClosesWith1009) {
  auto c = DeflateConnection();
  c->SetMaxMessageSize(64 * 1024);
  c->SetCleanDisconnect(true);
  TRecorder r;
  r.Attach(*c);
  const std::string bomb = Deflate(std::string(1 << 20, '\0'));
  ASSERT_LT(bomb.size(), 64u * 1024);
  try {
    c->Feed(ClientFrame(0xC2, bomb));
    FAIL() << "no error";
  } catch (const TlumWSException& e) {
    EXPECT_STREQ(e.what(), "Message too big");
  }
  EXPECT_TRUE(r.Binaries.empty());
  const auto frames = ParseFrames(c->AllWritten());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].Payload, Bytes({0x03, 0xF1}));
}

// Checks that depend on the negotiated extension and the fragment policy. Each case: what was
// delivered before the connection closed, and the close frame it got (0: still open).
TEST(Strictness, RSVUTF8AndInflateChecksUnderEachExtension) {
  enum TExt { extNone, extPerMessage, extFrame };
  struct TCase {
    const char* Name;
    TExt Ext;
    TwsFragmentedMessages Mode;
    std::string Wire;
    std::vector<std::string> Delivered;  // texts, or fragments in frgOnlyFragmented
    int SentCode;
  };
  const std::string euro = Bytes({0xE2, 0x82, 0xAC});
  const std::string z = Deflate(std::string(200, 'q'));
  const std::vector<TCase> cases = {
      {"code point split across fragments", extNone, frgOnlyBuffer,
       ClientFrame(0x01, euro.substr(0, 2)) + ClientFrame(0x89, "") + ClientFrame(0x80, euro.substr(2)),
       {euro}, 0},
      {"invalid fragment after a delivered one", extNone, frgOnlyFragmented,
       ClientFrame(0x01, "ok") + ClientFrame(0x00, Bytes({0xFF})) + ClientFrame(0x80, "!"), {"ok"},
       1007},
      {"code point split across delivered fragments", extNone, frgOnlyFragmented,
       ClientFrame(0x01, euro.substr(0, 1)) + ClientFrame(0x80, euro.substr(1)),
       {euro.substr(0, 1), euro.substr(1)}, 0},
      {"text ending inside a code point, fragments delivered", extNone, frgOnlyFragmented,
       ClientFrame(0x81, euro.substr(0, 2)), {}, 1007},
      {"permessage-deflate: RSV2", extPerMessage, frgOnlyBuffer, ClientFrame(0xA1, "a"), {}, 1002},
      {"permessage-deflate: RSV3", extPerMessage, frgOnlyBuffer, ClientFrame(0x91, "a"), {}, 1002},
      {"permessage-deflate: RSV1 on a continuation", extPerMessage, frgOnlyBuffer,
       ClientFrame(0x41, z.substr(0, 5)) + ClientFrame(0xC0, z.substr(5)), {}, 1002},
      {"permessage-deflate: data that does not inflate", extPerMessage, frgOnlyBuffer,
       ClientFrame(0xC1, Bytes({0xFF, 0xFF, 0xFF, 0xFF})), {}, 1007},
      {"permessage-deflate: invalid UTF-8 in a compressed first fragment", extPerMessage,
       frgOnlyBuffer, ClientFrame(0x41, Deflate(Bytes({'a', 0xFF}))), {}, 1007},
      {"permessage-deflate: compressed code point split across frames", extPerMessage,
       frgOnlyBuffer, ClientFrame(0x41, Deflate(euro).substr(0, 2)) +
                          ClientFrame(0x80, Deflate(euro).substr(2)),
       {euro}, 0},
      {"deflate-frame: RSV1 on a continuation", extFrame, frgOnlyBuffer,
       ClientFrame(0x01, "Hel") + ClientFrame(0xC0, Deflate("lo")), {"Hello"}, 0},
      {"deflate-frame: RSV2", extFrame, frgOnlyBuffer, ClientFrame(0xA1, "a"), {}, 1002},
      {"deflate-frame: data that does not inflate", extFrame, frgOnlyBuffer,
       ClientFrame(0xC1, Bytes({0xFF, 0xFF, 0xFF, 0xFF})), {}, 1007},
  };
  for (const TCase& tc : cases) {
    auto c = NewConnection();
    if (tc.Ext != extNone) {
      c->Extensions().SetMode(appServer);
      c->Extensions().PerMessage_Deflate().SetEnabled(tc.Ext == extPerMessage);
      c->Extensions().DeflateFrame().SetEnabled(tc.Ext == extFrame);
      c->Extensions().DecodeExtensions(tc.Ext == extPerMessage ? "permessage-deflate"
                                                                : "x-webkit-deflate-frame");
      ASSERT_TRUE(c->Extensions().ExtensionNegotiated()) << tc.Name;
    }
    c->SetCleanDisconnect(true);
    c->SetValidateUTF8(true);
    c->SetFragmentedMessages(tc.Mode);
    TRecorder r;
    r.Attach(*c);
    try {
      c->Feed(tc.Wire);
    } catch (const TlumWSException&) {
      // the close frame below says what happened
    }
    std::vector<std::string> delivered = r.Texts;
    for (const auto& f : r.Fragments) delivered.push_back(f.Data);
    EXPECT_EQ(delivered, tc.Delivered) << tc.Name;
    int sent = 0;
    for (const auto& f : ParseFrames(c->AllWritten())) {
      if (f.FirstByte == 0x88 && f.Payload.size() >= 2)
        sent = (static_cast<std::uint8_t>(f.Payload[0]) << 8) | static_cast<std::uint8_t>(f.Payload[1]);
    }
    EXPECT_EQ(sent, tc.SentCode) << tc.Name;
    EXPECT_EQ(c->Disconnected(), tc.SentCode != 0) << tc.Name;
  }
}

// ---- Memory held by unfinished messages ----

std::int64_t Unfinished() { return TlumWSConnection_Base_Indy::UnfinishedMessageBytes(); }

TEST(UnfinishedMessages, CountedWhileUnfinishedAndGivenBackHoweverTheyEnd) {
  const std::string piece(100 * 1024, 'a');
  const struct {
    const char* name;
    std::function<void(TConnectionPtr&)> end;
  } cases[] = {
      {"finished by its last fragment", [&](TConnectionPtr& c) { c->Feed(ClientFrame(0x80, "z")); }},
      {"released when the connection ends", [](TConnectionPtr& c) { c->ReleaseReadBuffers(); }},
      {"freed with the connection", [](TConnectionPtr& c) { c.reset(); }},
      {"a protocol error in the middle", [](TConnectionPtr& c) {
         try {
           c->Feed(ClientFrame(0x81, "not after an unfinished one"));
         } catch (const TlumWSException&) {
         }
         c->ReleaseReadBuffers();
       }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    const std::int64_t base = Unfinished();
    auto c = NewConnection();
    TRecorder r;
    r.Attach(*c);
    c->Feed(ClientFrame(0x01, piece));  // FIN clear: the message goes on
    EXPECT_GE(Unfinished(), base + static_cast<std::int64_t>(piece.size()));
    // Half a frame: the room reserved for the rest counts too.
    const std::string half = ClientFrame(0x00, piece);
    c->Feed(std::string_view(half).substr(0, half.size() / 2));
    EXPECT_GE(Unfinished(), base + static_cast<std::int64_t>(2 * piece.size()));
    c->Feed(std::string_view(half).substr(half.size() / 2));
    k.end(c);
    EXPECT_EQ(Unfinished(), base);
  }
}

TEST(UnfinishedMessages, TheConnectionThatTakesTheTotalOverTheBudgetIsClosedWith1009) {
  const std::int64_t saved = TlumWSConnection_Base_Indy::UnfinishedMessageBudget();
  const std::int64_t base = Unfinished();
  // Room for two unfinished messages of 128 KiB besides whatever is held already.
  TlumWSConnection_Base_Indy::SetUnfinishedMessageBudget(base + 320 * 1024);
  const std::string piece(128 * 1024, 'b');
  std::vector<TConnectionPtr> held;
  std::vector<TRecorder> recorders(3);
  for (int i = 0; i < 3; ++i) {
    held.push_back(NewConnection());
    held.back()->SetCleanDisconnect(true);
    recorders[i].Attach(*held.back());
  }
  held[0]->Feed(ClientFrame(0x01, piece));
  held[1]->Feed(ClientFrame(0x01, piece));
  EXPECT_TRUE(held[0]->Writes.empty());
  EXPECT_TRUE(held[1]->Writes.empty());
  const std::int64_t twoHeld = Unfinished();
  try {
    held[2]->Feed(ClientFrame(0x01, piece));
  } catch (const TlumWSException& e) {
    EXPECT_STREQ(e.what(), "Message too big");
  }
  const auto frames = ParseFrames(held[2]->AllWritten());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].FirstByte, 0x88);
  EXPECT_EQ(frames[0].Payload, Bytes({0x03, 0xF1}));
  EXPECT_EQ(Unfinished(), twoHeld) << "the closed one gave its bytes back";
  // The two that fitted finish their messages as usual (an empty last frame: no growth).
  for (int i = 0; i < 2; ++i) {
    held[i]->Feed(ClientFrame(0x80, ""));
    ASSERT_EQ(recorders[i].Texts.size(), 1u);
    EXPECT_EQ(recorders[i].Texts[0], piece);
  }
  EXPECT_EQ(Unfinished(), base);
  TlumWSConnection_Base_Indy::SetUnfinishedMessageBudget(saved);
}

TEST(Compression, RSV1OnAControlFrameIsAnError) {
  auto c = DeflateConnection();
  EXPECT_THROW(c->Feed(ClientFrame(0xC9, "p")), TlumWSException);
  EXPECT_TRUE(c->Disconnected());
}

}  // namespace
}  // namespace quillon::test
