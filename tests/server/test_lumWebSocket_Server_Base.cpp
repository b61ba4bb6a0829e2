#include "server/lumWebSocket_Server_Base.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"
#include "server/ServerFixture.h"
#include "util/lumMainThread.h"
#include "support/WaitUntil.h"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;

// Waits up to two seconds for a condition another thread makes true.
template <class F>
bool Eventually(F f) {
  return testwait::WaitUntil(f, 2s);
}

std::string TextOf(const TMemoryConnection& c) {
  std::string out;
  for (const TFrame& f : FramesOf(c)) {
    if (!out.empty()) out += '|';
    out += f.Payload;
  }
  return out;
}

class ServerBase : public ::testing::Test {
 protected:
  TTestConnection* Add() {
    TTestConnection* c = NewOpenConnection();
    server.AddConnection(c);
    return c;
  }
  TTestServer server;
};

TEST_F(ServerBase, RegistryFindsByPositionAndGuidUntilRemoved) {
  TTestConnection* a = Add();
  TTestConnection* b = Add();
  TTestConnection* c = Add();
  EXPECT_EQ(server.Count(), 3);
  EXPECT_EQ(server.Connections(1), b);
  EXPECT_EQ(server.Connections(3), nullptr);
  EXPECT_EQ(server.Connections(-1), nullptr);
  for (TTestConnection* x : {a, b, c}) EXPECT_EQ(server.ConnectionsByGUID(x->Guid()), x);

  server.RemoveConnection(b);
  EXPECT_EQ(server.Count(), 2);
  EXPECT_EQ(server.ConnectionsByGUID(b->Guid()), nullptr);
  EXPECT_EQ(server.Connections(1), c);
  EXPECT_EQ(server.ConnectionsByGUID("00000000000000000000000000000000"), nullptr);
  b->Free();
}

TEST_F(ServerBase, WriteDataReachesOnlyOpenKnownConnections) {
  TTestConnection* open = Add();
  TTestConnection* closed = Add();
  closed->SetDisconnected(true);
  TTestConnection* pending = NewOpenConnection();
  pending->SetEnabledForTest(false);
  server.AddConnection(pending);

  EXPECT_FALSE(server.WriteData("NOSUCHGUID", "x"));
  EXPECT_FALSE(server.WriteData(closed->Guid(), "x"));
  EXPECT_FALSE(server.WriteData(pending->Guid(), "x"));
  EXPECT_TRUE(closed->Writes.empty());
  EXPECT_TRUE(pending->Writes.empty());

  EXPECT_TRUE(server.WriteData(open->Guid(), "hello"));
  ASSERT_EQ(open->Writes.size(), 1u);
  EXPECT_EQ(open->Writes[0], std::string("\x81\x05hello"));
  const std::uint8_t bytes[] = {1, 2, 3};
  EXPECT_TRUE(server.WriteData(open->Guid(), TBytesView(bytes)));
  EXPECT_EQ(open->Writes.back(), std::string("\x82\x03\x01\x02\x03", 5));
}

TEST_F(ServerBase, FailedWriteIsReportedAsErrorAndClosesTheConnection) {
  TTestConnection* c = Add();
  c->FailWrites = true;
  std::string error;
  TlumWSConnection* who = nullptr;
  server.OnError = [&](TlumWSConnection* conn, const std::string& e) {
    who = conn;
    error = e;
  };
  EXPECT_FALSE(server.WriteData(c->Guid(), "x"));
  EXPECT_EQ(who, c);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(c->MsgError(), error);
  EXPECT_TRUE(c->Disconnected());
  EXPECT_EQ(c->DisconnectPeerCount, 1);
}

TEST_F(ServerBase, BroadcastSelectsByChannelProtocolIncludeAndExclude) {
  TTestConnection* news = Add();
  news->DoSubscribe("news");
  TTestConnection* sport = Add();
  sport->DoSubscribe("sport,weather");
  TTestConnection* plain = Add();
  TTestConnection* chat = Add();
  chat->SetProtocol("chat");
  TTestConnection* gone = Add();
  gone->SetDisconnected(true);
  const std::vector<TTestConnection*> all{news, sport, plain, chat, gone};
  auto received = [&] {
    std::string out;
    for (TTestConnection* c : all) out += TextOf(*c) + ";";
    for (TTestConnection* c : all) c->Writes.clear();
    return out;
  };
  auto lower = [](std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
  };

  struct Case {
    const char* Name;
    std::function<void()> Send;
    const char* Expected;
  };
  const Case cases[] = {
      {"everyone without a protocol", [&] { server.Broadcast("m"); }, "m;m;m;;;"},
      {"one channel", [&] { server.Broadcast("m", "news"); }, "m;;;;;"},
      {"second name of the connection", [&] { server.Broadcast("m", "weather"); }, ";m;;;;"},
      {"any of a channel list", [&] { server.Broadcast("m", "x,news,sport"); }, "m;m;;;;"},
      {"protocol ignoring case", [&] { server.Broadcast("m", "", "CHAT"); }, ";;;m;;"},
      {"include one", [&] { server.Broadcast("m", "", "", "", sport->Guid()); }, ";m;;;;"},
      {"include needs the protocol too", [&] { server.Broadcast("m", "", "", "", chat->Guid()); },
       ";;;;;"},
      {"exclude in lower case",
       [&] { server.Broadcast("m", "", "", lower(news->Guid()) + "," + plain->Guid()); },
       ";m;;;;"},
      {"include and exclude the same",
       [&] { server.Broadcast("m", "", "", sport->Guid(), sport->Guid()); }, ";;;;;"},
  };
  for (const Case& c : cases) {
    c.Send();
    EXPECT_EQ(received(), c.Expected) << c.Name;
  }

  const std::uint8_t bytes[] = {9};
  server.Broadcast(TBytesView(bytes), "news");
  ASSERT_EQ(news->Writes.size(), 1u);
  EXPECT_EQ(news->Writes[0], std::string("\x82\x01\x09", 3));
  EXPECT_TRUE(sport->Writes.empty());
}

TEST_F(ServerBase, BroadcastGoesOnPastAFailingConnection) {
  TTestConnection* bad = Add();
  bad->FailWrites = true;
  TTestConnection* good = Add();
  int errors = 0;
  server.OnError = [&](TlumWSConnection*, const std::string&) { ++errors; };
  server.Broadcast("m");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(TextOf(*good), "m");
}

// Records which buffer each shared frame came in.
class TSharingConnection : public TTestConnection {
 public:
  std::vector<const std::string*> Shared;
  void WriteSharedBytes(const TlumSharedFrame& aFrame) override {
    Shared.push_back(aFrame.get());
    TTestConnection::WriteSharedBytes(aFrame);
  }
};

TEST_F(ServerBase, BroadcastFramesOncePerEncodingAndEveryoneGetsTheBytesOfTheirOwnWrite) {
  // How a connection was set up; each one's twin outside the server writes the same messages
  // one by one, which gives the bytes the connection must receive.
  struct Setup {
    const char* Name;
    const char* Offer;  // permessage-deflate offer, or nullptr for none
    bool HeldBack;      // text messages held back by the queue options
    int Group;          // connections of one group share one frame; 0: never shared
  };
  const Setup setups[] = {
      {"plain", nullptr, false, 1},
      {"plain too", nullptr, false, 1},
      {"deflate, no context takeover", "permessage-deflate; server_no_context_takeover", false, 2},
      {"the same deflate again", "permessage-deflate; server_no_context_takeover", false, 2},
      {"deflate with a smaller window",
       "permessage-deflate; server_no_context_takeover; server_max_window_bits=9", false, 3},
      {"deflate with context takeover", "permessage-deflate", false, 0},
      {"deflate with context takeover too", "permessage-deflate", false, 0},
      {"held back", nullptr, true, 0},
  };
  auto configure = [](TTestConnection& c, const Setup& s) {
    c.Open();
    if (s.Offer != nullptr) {
      c.Extensions().SetMode(appServer);
      c.Extensions().PerMessage_Deflate().SetEnabled(true);
      c.Extensions().DecodeExtensions(s.Offer);
    }
    if (s.HeldBack) c.QueueOptions().Text().SetLevel(qmLevel0);
  };
  std::vector<TSharingConnection*> members;
  std::vector<TTestConnectionPtr> twins;
  for (const Setup& s : setups) {
    auto* c = new TSharingConnection();
    configure(*c, s);
    server.AddConnection(c);
    members.push_back(c);
    twins.emplace_back(new TTestConnection());
    configure(*twins.back(), s);
  }
  // Repeats compress well, and a history kept from the first message changes the second.
  const std::string text(300, 'a');
  const std::string texts[] = {text + "first", text + "second"};
  for (const std::string& t : texts) {
    server.Broadcast(t);
    for (auto& twin : twins) twin->WriteData(t);
  }
  const std::uint8_t bytes[] = {0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3};
  server.Broadcast(TBytesView(bytes));
  for (auto& twin : twins) twin->WriteData(TBytesView(bytes));

  std::map<int, std::vector<const std::string*>> groupBuffers;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Setup& s = setups[i];
    TSharingConnection& c = *members[i];
    if (s.HeldBack) {
      EXPECT_EQ(c.QueueLevel(0).Count(), 2) << s.Name;
      c.QueueLevel(0).FreeObjects();
      EXPECT_EQ(c.Writes.size(), 1u) << s.Name << ": the binary message is not held back";
      continue;
    }
    EXPECT_EQ(c.Writes.size(), 3u) << s.Name << ": one write per message";
    EXPECT_EQ(c.AllWritten(), twins[i]->AllWritten()) << s.Name;
    if (s.Group == 0) {
      EXPECT_TRUE(c.Shared.empty()) << s.Name;
      continue;
    }
    ASSERT_EQ(c.Shared.size(), 3u) << s.Name;
    auto& buffers = groupBuffers[s.Group];
    if (buffers.empty()) {
      buffers = c.Shared;
    } else {
      EXPECT_EQ(c.Shared, buffers) << s.Name << ": the frames of its group";
    }
  }
  // Groups of different encodings never share a buffer.
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_NE(groupBuffers[1][k], groupBuffers[2][k]);
    EXPECT_NE(groupBuffers[2][k], groupBuffers[3][k]);
  }
  // The compressed frames really are compressed, with RSV1 set.
  const auto frames = FramesOf(*members[2]);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].FirstByte, 0xC1);
  EXPECT_LT(frames[0].Payload.size(), texts[0].size() / 4);
}

TEST_F(ServerBase, StreamedOrFragmentedBroadcastsAreWrittenPerConnection) {
  auto* c = new TSharingConnection();
  c->Open();
  server.AddConnection(c);
  const std::uint8_t bytes[] = {1, 2, 3, 4};
  server.Broadcast(TBytesView(bytes), "", "", "", "", 2);
  server.Broadcast(TBytesView(bytes), "", "", "", "", 0, stmFirst);
  EXPECT_TRUE(c->Shared.empty());
  const auto frames = FramesOf(*c);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].FirstByte, 0x02);  // the first of two fragments
  EXPECT_EQ(frames[1].FirstByte, 0x80);
  EXPECT_EQ(frames[2].FirstByte, 0x02);  // a stream's first frame
}

TEST_F(ServerBase, DisconnectAllEndsOnlyLiveConnections) {
  TTestConnection* live = Add();
  TTestConnection* closed = Add();
  closed->SetDisconnected(true);
  TTestConnection* detached = Add();
  detached->Attached = false;
  server.DisconnectAll();
  EXPECT_EQ(live->DisconnectPeerCount, 1);
  EXPECT_EQ(closed->DisconnectPeerCount, 0);
  EXPECT_EQ(detached->DisconnectPeerCount, 0);
  EXPECT_EQ(server.Count(), 3);  // the transport's disconnect removes them later
}

class TRecorder : public TlumWSAPI_Base_Server {
 public:
  explicit TRecorder(bool aRaw = false) : FRaw(aRaw) {}
  std::vector<std::string> Log;
  bool RawMessages() const override { return FRaw; }
  void DoConnect(TlumWSConnection*) override { Log.push_back("connect"); }
  void DoMessage(TlumWSConnection*, const std::string& t) override { Log.push_back("message " + t); }
  void DoDisconnect(TlumWSConnection*, int code) override {
    Log.push_back("disconnect " + std::to_string(code));
  }

 private:
  bool FRaw;
};

class TProtocolRecorder : public TlumWSProtocol_Base_Server {
 public:
  using TlumWSProtocol_Base_Server::TlumWSProtocol_Base_Server;
  std::vector<std::string> Log;
  void DoMessage(TlumWSConnection*, const std::string& t) override { Log.push_back("message " + t); }
  void DoDisconnect(TlumWSConnection*, int code) override {
    Log.push_back("disconnect " + std::to_string(code));
  }
};

TEST_F(ServerBase, SubProtocolEventsGoToMatchingObjectsOnly) {
  TProtocolRecorder first("chat"), second("Chat"), other("news");
  server.RegisterProtocol(&first);
  server.RegisterProtocol(&second);
  server.RegisterProtocol(&other);
  EXPECT_EQ(server.GetProtocols(), "chat,Chat,news");
  std::vector<std::string> own;
  server.OnMessage = [&](TlumWSConnection*, const std::string& t) { own.push_back(t); };
  server.OnDisconnect = [&](TlumWSConnection*, int code) {
    own.push_back("disconnect " + std::to_string(code));
  };

  TTestConnection* c = Add();
  c->SetProtocol("CHAT");
  c->SetCloseCode(1001);
  server.OnConnectionMessage(c, "hi");
  EXPECT_EQ(first.Log, std::vector<std::string>{"message hi"});
  EXPECT_EQ(second.Log, std::vector<std::string>{"message hi"});
  EXPECT_TRUE(other.Log.empty());
  EXPECT_TRUE(own.empty());
  EXPECT_EQ(c->MsgReceived(), "hi");

  // Disconnect goes to the first matching object only.
  server.OnConnectionDisconnect(c, 0);
  EXPECT_EQ(first.Log.back(), "disconnect 1001");
  EXPECT_EQ(second.Log.size(), 1u);
  EXPECT_TRUE(own.empty());
  EXPECT_EQ(server.Count(), 0);

  // A sub-protocol no object serves still reaches the application.
  TTestConnection* d = Add();
  d->SetProtocol("unserved");
  server.OnConnectionMessage(d, "yo");
  EXPECT_EQ(own, std::vector<std::string>{"yo"});
}

TEST_F(ServerBase, ApiObjectTakesEventsOfConnectionsWithoutProtocol) {
  for (bool raw : {false, true}) {
    TRecorder api(raw);
    server.RegisterAPI(&api);
    int own = 0;
    server.OnMessage = [&](TlumWSConnection*, const std::string&) { ++own; };
    TTestConnection* c = Add();
    server.OnConnectionMessage(c, "x");
    EXPECT_EQ(api.Log, std::vector<std::string>{"message x"}) << raw;
    EXPECT_EQ(own, raw ? 1 : 0) << raw;
    TTestConnection* withProtocol = Add();
    withProtocol->SetProtocol("p");
    server.OnConnectionMessage(withProtocol, "y");
    EXPECT_EQ(api.Log.size(), 1u);
    EXPECT_EQ(own, raw ? 2 : 1);
    server.UnRegisterAPI();
  }
}

TEST_F(ServerBase, InternalConnectionsRaiseNothingButAreStillFreed) {
  int events = 0;
  server.OnConnect = [&](TlumWSConnection*) { ++events; };
  server.OnMessage = [&](TlumWSConnection*, const std::string&) { ++events; };
  server.OnDisconnect = [&](TlumWSConnection*, int) { ++events; };
  TTestConnection* c = Add();
  c->SetIsInternal(true);
  server.OnConnectionUpdate(c, 1);
  server.OnConnectionMessage(c, "x");
  server.OnConnectionDisconnect(c, 0);
  EXPECT_EQ(events, 0);
  EXPECT_EQ(server.ConnectionsFreeCount(), 1);
}

TEST_F(ServerBase, HandlerErrorBecomesErrorNotificationAndCloses) {
  server.OnMessage = [](TlumWSConnection*, const std::string&) { throw std::runtime_error("boom"); };
  std::string error;
  server.OnError = [&](TlumWSConnection*, const std::string& e) { error = e; };
  TTestConnection* c = Add();
  server.OnConnectionMessage(c, "x");
  EXPECT_EQ(error, "boom");
  EXPECT_TRUE(c->Disconnected());
  EXPECT_EQ(c->DisconnectPeerCount, 1);

  // Without OnError the connection is just closed; an error handler that throws is swallowed.
  server.OnError = [](TlumWSConnection*, const std::string&) { throw std::runtime_error("again"); };
  TTestConnection* d = Add();
  EXPECT_NO_THROW(server.OnConnectionMessage(d, "x"));
  EXPECT_TRUE(d->Disconnected());
}

TEST_F(ServerBase, DisconnectRemovesRaisesWithCloseCodeAndDefersTheFree) {
  int code = -1;
  TlumWSConnection* who = nullptr;
  server.OnDisconnect = [&](TlumWSConnection* c, int aCode) {
    who = c;
    code = aCode;
  };
  TTestConnection* c = Add();
  c->DoSubscribe("news");
  server.Channels().AddItem([&] {
    auto* s = new TlumWSComponent_Server::TChannels::TSubscription();
    s->SetQueue("news");
    s->SetConnection(c);
    return s;
  }());
  server.OnConnectionUpdate(c, 1);
  EXPECT_EQ(server.ConnectionCache().GetConnection(c->Guid()), c);
  c->SetCloseCode(1006);
  server.OnConnectionDisconnect(c, 0);
  EXPECT_EQ(who, c);
  EXPECT_EQ(code, 1006);
  EXPECT_EQ(server.Count(), 0);
  EXPECT_EQ(server.ConnectionCache().GetConnection(c->Guid()), nullptr);
  EXPECT_EQ(server.Channels().Count(), 0);
  // Still valid for code that holds it until the free timer runs.
  EXPECT_EQ(server.ConnectionsFreeCount(), 1);
  EXPECT_FALSE(c->Freed());
  server.FreeWaitingConnections();
  EXPECT_EQ(server.ConnectionsFreeCount(), 0);
}

TEST_F(ServerBase, WithoutDeferredFreeingADisconnectedConnectionIsFreedAtOnce) {
  server.Optimizations().ConnectionsFree.Enabled = false;
  TTestConnection* c = Add();
  c->AddRef();  // keeps the object readable after the server lets go
  c->SetNotifyDisconnection(false);
  bool raised = false;
  server.OnDisconnect = [&](TlumWSConnection*, int) { raised = true; };
  server.OnConnectionDisconnect(c, 0);
  EXPECT_FALSE(raised);
  EXPECT_TRUE(c->Freed());
  EXPECT_EQ(server.ConnectionsFreeCount(), 0);
  c->Release();
}

TEST_F(ServerBase, ConnectsOnlyEnabledConnectionsOfAllowedSpecifications) {
  int connects = 0;
  server.OnConnect = [&](TlumWSConnection*) { ++connects; };
  TTestConnection* c = Add();
  server.Specifications().RFC6455 = false;
  server.OnConnectionUpdate(c, 1);
  EXPECT_EQ(connects, 0);
  EXPECT_TRUE(c->Disconnected());

  server.Specifications().RFC6455 = true;
  TTestConnection* quiet = Add();
  quiet->SetNotifyConnection(false);
  server.OnConnectionUpdate(quiet, 1);
  TTestConnection* d = Add();
  server.OnConnectionUpdate(d, 2);
  EXPECT_EQ(connects, 0);
  server.OnConnectionUpdate(d, 1);
  EXPECT_EQ(connects, 1);
}

TEST_F(ServerBase, AsynchronousEventsWaitForTheMainThreadAndKeepTheirData) {
  server.SetNotifyEvents(neAsynchronous);
  std::vector<std::string> got;
  std::vector<std::thread::id> threads;
  server.OnMessage = [&](TlumWSConnection*, const std::string& t) {
    got.push_back(t);
    threads.push_back(std::this_thread::get_id());
  };
  server.OnBinary = [&](TlumWSConnection*, TBytesView d) { got.push_back(std::string(AsText(d))); };
  TTestConnection* c = Add();
  std::thread worker([&] {
    server.OnConnectionMessage(c, "one");
    std::string data = "bin";
    server.OnConnectionBinary(c, AsBytes(data));
    data = "XXX";  // the event must see its own copy
    server.OnConnectionMessage(c, "two");
  });
  worker.join();
  EXPECT_TRUE(got.empty());
  while (MainThreadQueue::CheckSynchronize(std::chrono::milliseconds(50))) {
  }
  EXPECT_EQ(got, (std::vector<std::string>{"one", "two", "bin"}));
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(ServerBase, HeldMessagesWaitForTheApplication) {
  server.SetQueueMessages(true);
  std::vector<std::string> got;
  server.OnMessage = [&](TlumWSConnection*, const std::string& t) { got.push_back(t); };
  TTestConnection* c = Add();
  server.OnConnectionMessage(c, "a");
  server.OnConnectionMessage(c, "b");
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(server.QueuedMessagesCount(), 2);
  server.ProcessQueueMessages();
  EXPECT_EQ(got, (std::vector<std::string>{"a", "b"}));
  server.OnConnectionMessage(c, "c");
  server.ClearQueueMessages();
  server.ProcessQueueMessages();
  EXPECT_EQ(got.size(), 2u);
}

TEST_F(ServerBase, ActivationMakesAndForgetsTheSecretAndRunsOnce) {
  EXPECT_FALSE(server.Active());
  server.SetActive(true);
  server.SetActive(true);
  EXPECT_TRUE(server.Active());
  EXPECT_EQ(server.Starts, 1);
  const std::string secret = server.WatchDogMonitorSecret();
  EXPECT_EQ(secret.size(), 32u);
  EXPECT_EQ(secret.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  server.SetActive(false);
  server.SetActive(false);
  EXPECT_EQ(server.Stops, 1);
  EXPECT_TRUE(server.WatchDogMonitorSecret().empty());
  server.SetActive(true);
  EXPECT_NE(server.WatchDogMonitorSecret(), secret);
}

TEST_F(ServerBase, StartStopAndRestartRunOnTheirOwnThreads) {
  server.Start();
  ASSERT_TRUE(Eventually([&] { return server.Active(); }));
  server.ReStart();
  ASSERT_TRUE(Eventually([&] { return server.Starts == 2; }));
  EXPECT_EQ(server.Stops, 1);
  EXPECT_TRUE(server.Active());
  server.Stop();
  ASSERT_TRUE(Eventually([&] { return !server.Active(); }));
}

TEST_F(ServerBase, StopFreesConnectionsWaitingToBeFreed) {
  server.SetActive(true);
  TTestConnection* c = Add();
  c->AddRef();
  server.OnConnectionDisconnect(c, 0);
  EXPECT_FALSE(c->Freed());
  server.SetActive(false);
  EXPECT_TRUE(c->Freed());
  c->Release();
}

}  // namespace
}  // namespace quillon::test
