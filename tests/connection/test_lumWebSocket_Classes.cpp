// The connection object model: identity, streaming writes, held-back queues, close and
// disconnect, subscriptions, server-sent events, waiting writes, reference counting and
// concurrent writers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "connection/MemoryConnection.h"

namespace quillon::test {
namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

TEST(Connection, GuidIsStableAndUnique) {
  auto a = NewConnection();
  auto b = NewConnection();
  const std::string first = a->Guid();
  EXPECT_EQ(first.size(), 32u);
  EXPECT_EQ(first.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(a->Guid(), first);
  EXPECT_NE(b->Guid(), first);
}

struct TWriteCase {
  const char* Name;
  std::string Text;
  int Size;
  TwsStreaming Streaming;
  std::vector<std::string> Frames;
};

TEST(Connection, TextWritesByStreamingMode) {
  const std::string threeTwoByte = "\xC3\xA9\xC3\xA9\xC3\xA9";  // three code units, six bytes
  const TWriteCase cases[] = {
      {"whole", "Hello", 0, stmNone, {Bytes({0x81, 0x05}) + "Hello"}},
      {"size not below length", "Hello", 5, stmNone, {Bytes({0x81, 0x05}) + "Hello"}},
      {"cut in pieces", "abcdef", 4, stmNone,
       {Bytes({0x01, 0x04}) + "abcd", Bytes({0x80, 0x02}) + "ef"}},
      {"size counts UTF-16 units", threeTwoByte, 3, stmNone, {Bytes({0x81, 0x06}) + threeTwoByte}},
      {"pieces cut in bytes", threeTwoByte, 2, stmNone,
       {Bytes({0x01, 0x02}) + "\xC3\xA9", Bytes({0x00, 0x02}) + "\xC3\xA9",
        Bytes({0x80, 0x02}) + "\xC3\xA9"}},
      {"first", "a", 0, stmFirst, {Bytes({0x01, 0x01}) + "a"}},
      {"continue", "b", 0, stmContinue, {Bytes({0x00, 0x01}) + "b"}},
      {"last", "c", 0, stmLast, {Bytes({0x80, 0x01}) + "c"}},
      {"continue and last whole", "cd", 0, stmContinueAndLast, {Bytes({0x80, 0x02}) + "cd"}},
      {"continue and last in pieces", "cdef", 2, stmContinueAndLast,
       {Bytes({0x00, 0x02}) + "cd", Bytes({0x80, 0x02}) + "ef"}},
  };
  for (const auto& tc : cases) {
    auto c = NewConnection();
    c->WriteData(tc.Text, tc.Size, tc.Streaming);
    EXPECT_EQ(c->Writes, tc.Frames) << tc.Name;
  }
}

TEST(Connection, BinaryWritesByStreamingMode) {
  const std::string data = "012345";
  struct {
    int Size;
    TwsStreaming Streaming;
    std::vector<std::string> Frames;
  } cases[] = {
      {0, stmNone, {Bytes({0x82, 0x06}) + data}},
      {4, stmNone, {Bytes({0x02, 0x04}) + "0123", Bytes({0x80, 0x02}) + "45"}},
      {0, stmFirst, {Bytes({0x02, 0x06}) + data}},
      {0, stmContinue, {Bytes({0x00, 0x06}) + data}},
      {0, stmLast, {Bytes({0x80, 0x06}) + data}},
      {3, stmContinueAndLast, {Bytes({0x00, 0x03}) + "012", Bytes({0x80, 0x03}) + "345"}},
  };
  for (const auto& tc : cases) {
    auto c = NewConnection();
    c->WriteData(AsBytes(data), tc.Size, tc.Streaming);
    EXPECT_EQ(c->Writes, tc.Frames) << tc.Size << " " << int(tc.Streaming);
  }
}

TEST(Connection, AWriteBeforeTheHandshakeSendsNothing) {
  TConnectionPtr c(new TMemoryConnection());
  EXPECT_NO_THROW(c->WriteData("early"));
  EXPECT_NO_THROW(c->WriteData(AsBytes("early")));
  EXPECT_TRUE(c->Writes.empty());
}

TEST(Connection, HeldBackMessagesStayQueuedUntilDisconnected) {
  auto c = NewConnection();
  c->QueueOptions().Text().SetLevel(qmLevel1);
  c->QueueOptions().Binary().SetLevel(qmLevel2);
  c->QueueOptions().Ping().SetLevel(qmLevel0);
  c->WriteData("held", 3, stmFirst);
  c->WriteData(AsBytes("bin"));
  c->Ping("p");
  EXPECT_TRUE(c->Writes.empty());
  ASSERT_EQ(c->QueueLevel(1).Count(), 1);
  EXPECT_EQ(c->QueueLevel(2).Count(), 1);
  EXPECT_EQ(c->QueueLevel(0).Count(), 1);
  auto held = c->QueueLevel(1).TakeObjects();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0]->Text, "held");
  EXPECT_EQ(held[0]->Size, 3);
  EXPECT_EQ(held[0]->Streaming, stmFirst);
  EXPECT_EQ(held[0]->OpCode, opText);
  c->SetDisconnected(true);
  EXPECT_EQ(c->QueueLevel(2).Count(), 0);
  EXPECT_EQ(c->QueueLevel(0).Count(), 0);
}

TEST(Connection, CloseSendsACloseFrameAndKeepsTheTransport) {
  auto c = NewConnection();
  c->Close();
  EXPECT_EQ(c->Writes, std::vector<std::string>{Bytes({0x88, 0x02, 0x03, 0xE8})});
  EXPECT_EQ(c->DisconnectPeerCount, 0);
  EXPECT_TRUE(c->Disconnected());
}

TEST(Connection, DisconnectEndsTheTransportWithACloseFrameOnlyWhenClean) {
  auto c = NewConnection();
  c->SetCleanDisconnect(false);
  c->Disconnect();
  EXPECT_TRUE(c->Writes.empty());
  EXPECT_EQ(c->DisconnectPeerCount, 1);

  auto d = NewConnection();
  d->SetCleanDisconnect(true);
  d->Disconnect(1001);
  EXPECT_EQ(d->Writes, std::vector<std::string>{Bytes({0x88, 0x02, 0x03, 0xE9})});
  EXPECT_EQ(d->DisconnectPeerCount, 1);
}

TEST(Connection, DisconnectOnErrorDropsThePeerOnce) {
  auto c = NewConnection();
  c->DisconnectOnError();
  c->DisconnectOnError();
  c->Disconnect();
  EXPECT_EQ(c->DisconnectPeerCount, 1);
}

TEST(Connection, Subscriptions) {
  auto c = NewConnection();
  std::vector<std::string> added, removed;
  c->OnSubscription = [&](TlumWSConnection*, const std::string& s) { added.push_back(s); };
  c->OnUnSubscription = [&](TlumWSConnection*, const std::string& s) { removed.push_back(s); };
  c->DoSubscribe("news,News,sport");
  EXPECT_EQ(added, (std::vector<std::string>{"news", "sport"}));
  EXPECT_TRUE(c->Subscribed(""));
  EXPECT_TRUE(c->Subscribed("other,SPORT"));
  EXPECT_FALSE(c->Subscribed("other, sport"));  // names are not trimmed
  c->DoUnSubscribe("NEWS,missing");
  EXPECT_EQ(removed, std::vector<std::string>{"NEWS"});
  EXPECT_EQ(c->Subscriptions(), std::vector<std::string>{"sport"});
}

TEST(Connection, ServerSentEvents) {
  auto c = NewConnection();
  c->SetTransport(trpSSE);
  c->WriteData("hello");
  c->WriteData("retry: 5000");
  c->Ping("beat");
  ASSERT_EQ(c->Writes.size(), 3u);
  EXPECT_EQ(c->Writes[0].rfind("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n", 0), 0u);
  EXPECT_TRUE(c->Writes[0].ends_with("\r\n\r\ndata: hello\r\n\r\n"));
  EXPECT_EQ(c->Writes[1], "retry: 5000\r\n\r\n");
  EXPECT_EQ(c->Writes[2], "event: Ping\ndata: beat\r\n\r\n");
}

TEST(Connection, WriteAndWaitDataReturnsTheNextMessageOrNothing) {
  auto c = NewConnection();
  EXPECT_EQ(c->WriteAndWaitData("q", 0), "");
  EXPECT_EQ(c->WriteAndWaitData("q", 20), "");
  std::thread answer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    c->SetMsgReceived("answer");
  });
  EXPECT_EQ(c->WriteAndWaitData("q", 5000), "answer");
  answer.join();
  EXPECT_EQ(c->Writes.size(), 3u);
}

// Counts destructions, to show a connection is freed once, after its last reference.
class TCounted : public TMemoryConnection {
 public:
  explicit TCounted(std::atomic<int>& n) : FDestroyed(n) {}

 protected:
  ~TCounted() override { ++FDestroyed; }

 private:
  std::atomic<int>& FDestroyed;
};

TEST(Connection, IsFreedOnceAfterTheLastReference) {
  std::atomic<int> destroyed{0};
  auto* c = new TCounted(destroyed);
  constexpr int kHolders = 8;
  for (int i = 0; i < kHolders; ++i) c->AddRef();
  std::vector<std::thread> holders;
  for (int i = 0; i < kHolders; ++i) holders.emplace_back([c] { c->Release(); });
  c->Free();
  for (auto& t : holders) t.join();
  EXPECT_EQ(destroyed.load(), 1);
  TlumTCPConnection_Base::Free(nullptr);  // ignored
}

TEST(Connection, ConcurrentFragmentedWritesNeverInterleave) {
  auto c = NewConnection();
  constexpr int kMessages = 200;
  auto writer = [&](char letter) {
    const std::string text(40, letter);
    for (int i = 0; i < kMessages; ++i) c->WriteData(text, 10, stmNone);
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();
  const auto frames = ParseFrames(c->AllWritten());
  ASSERT_EQ(frames.size(), 2u * kMessages * 4);
  for (std::size_t i = 0; i < frames.size(); i += 4) {
    EXPECT_EQ(frames[i].FirstByte, 0x01);
    EXPECT_EQ(frames[i + 3].FirstByte, 0x80);
    for (int k = 1; k < 4; ++k) EXPECT_EQ(frames[i + k].Payload[0], frames[i].Payload[0]);
  }
}

TEST(Connection, ReaderAndWriterThreadsShareAConnection) {
  // The reader echoes while another thread writes and pings: run under TSan.
  auto c = NewConnection();
  c->OnMessage = [](TlumWSConnection* conn, const std::string& t) { conn->WriteData(t); };
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) {
      c->WriteData("from writer");
      if (i % 20 == 0) c->Ping("p");
    }
  });
  for (int i = 0; i < 200; ++i) c->Feed(ClientFrame(0x81, "echo me"));
  writer.join();
  EXPECT_EQ(ParseFrames(c->AllWritten()).size(), 410u);
}

}  // namespace
}  // namespace quillon::test
