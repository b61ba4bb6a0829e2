// The ID-keyed queues: ownership, FIFO eviction, the lookup cache, grouping by ID prefix,
// named queues, the connection registries, and consistency under concurrent use.
#include "util/lumWebSocket_Classes_Queues.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace quillon;

// Items that record whether they are still alive, to check who deletes what.
std::mutex gAliveMutex;
std::set<const void*> gAlive;

bool Alive(const void* p) {
  std::lock_guard lock(gAliveMutex);
  return gAlive.count(p) != 0;
}

template <class Base>
class Tracked : public Base {
 public:
  explicit Tracked(std::string id, std::string queue = {}) {
    this->SetID(std::move(id));
    if constexpr (std::is_base_of_v<TlumQueueNameItemBase, Base>) this->SetQueue(std::move(queue));
    std::lock_guard lock(gAliveMutex);
    gAlive.insert(this);
  }
  ~Tracked() override {
    std::lock_guard lock(gAliveMutex);
    gAlive.erase(this);
  }
};
using Item = Tracked<TlumQueueItemBase>;
using NameItem = Tracked<TlumQueueNameItemBase>;

std::vector<std::string> IDs(TlumQueueBase& q) {
  std::vector<std::string> ids;
  for (int i = 0; i < q.Count(); ++i) ids.push_back(q.GetItemByIndex(i)->ID());
  return ids;
}

// ---- plain queues ----

TEST(TlumQueueTest, LookupsAndDeletesByIdAndIndex) {
  TlumQueue q;
  q.SetOwnObjects(true);
  auto* a1 = new Item("a");
  auto* b = new Item("b");
  auto* a2 = new Item("a");
  q.AddItem(a1);
  q.AddItem(b);
  q.AddItem(a2);  // no duplicate check: two items share "a"

  EXPECT_EQ(q.GetItem("a"), a1) << "the one nearest the front";
  EXPECT_EQ(q.GetItem("A"), nullptr) << "IDs compare case-sensitively";
  EXPECT_EQ(q.GetItem("zz"), nullptr);
  EXPECT_EQ(q.GetItem(1), b);
  EXPECT_EQ(q.Item(2), a2);
  for (int bad : {3, 4, -1}) EXPECT_EQ(q.GetItemByIndex(bad), nullptr) << bad;

  EXPECT_TRUE(q.DeleteItem("a"));
  EXPECT_FALSE(Alive(a1)) << "owning queue frees what it deletes";
  EXPECT_EQ(q.GetItem("a"), a2);
  EXPECT_FALSE(q.DeleteItem("missing"));
  for (int bad : {2, 7, -1}) EXPECT_FALSE(q.DeleteItem(bad)) << bad;
  EXPECT_TRUE(q.DeleteItem(0));
  EXPECT_FALSE(Alive(b));
  EXPECT_EQ(IDs(q), std::vector<std::string>{"a"});
}

TEST(TlumQueueTest, ClearAndDestroyFreeItemsOnlyWhenOwning) {
  for (bool owning : {false, true}) {
    std::vector<Item*> items = {new Item("1"), new Item("2"), new Item("3")};
    {
      TlumQueue q;
      q.SetOwnObjects(owning);
      for (Item* it : items) q.AddItem(it);
      q.Clear();
      EXPECT_EQ(q.Count(), 0);
      for (Item* it : items) EXPECT_EQ(Alive(it), !owning) << owning;
      if (!owning) {
        q.AddItem(items[0]);  // destruction must not free it either
      }
    }
    if (!owning) {
      EXPECT_TRUE(Alive(items[0]));
      for (Item* it : items) delete it;
    }
  }
  {
    auto* kept = new Item("k");
    { TlumQueue q; q.SetOwnObjects(true); q.AddItem(kept); }
    EXPECT_FALSE(Alive(kept)) << "destroying an owning queue frees its items";
  }
}

TEST(TlumFIFOQueueTest, KeepsTheNewestMaxItems) {
  struct Case {
    int maxItems;
    std::vector<std::string> kept;
  };
  const Case cases[] = {{2, {"B", "C"}}, {0, {"A", "B", "C"}}, {-1, {"A", "B", "C"}}, {1, {"C"}}};
  for (const Case& c : cases) {
    TlumFIFOQueue q;
    q.SetOwnObjects(true);
    q.SetMaxItems(c.maxItems);
    std::vector<Item*> items = {new Item("A"), new Item("B"), new Item("C")};
    for (Item* it : items) q.AddItem(it);
    EXPECT_EQ(IDs(q), c.kept) << c.maxItems;
    EXPECT_EQ(Alive(items[0]), c.kept.size() == 3) << "evicted items of an owning queue are freed";
  }
}

TEST(TlumFIFOQueueTest, LoweringTheBoundTrimsOnTheNextAdd) {
  TlumFIFOQueue q;
  q.SetOwnObjects(true);
  for (const char* id : {"1", "2", "3", "4"}) q.AddItem(new Item(id));
  q.SetMaxItems(2);
  q.AddItem(new Item("5"));
  EXPECT_EQ(IDs(q), (std::vector<std::string>{"4", "5"}));
}

// ---- cached queue ----

TEST(TlumCacheQueueTest, LookupsFillTheCacheAndDeletesReachTheQueue) {
  TlumCacheQueue cq;
  cq.SetOwnObjects(true);
  cq.SetCacheSize(1);
  auto* x = new Item("X");
  auto* y = new Item("Y");
  cq.AddItem(x);
  cq.AddItem(y);
  EXPECT_EQ(cq.Cache().Count(), 0) << "adding does not fill the cache";

  EXPECT_EQ(cq.GetItem("X"), x);
  EXPECT_EQ(cq.GetItem("Y"), y);
  EXPECT_EQ(IDs(cq.Cache()), std::vector<std::string>{"Y"});
  EXPECT_TRUE(Alive(x)) << "the cache never frees";

  EXPECT_TRUE(cq.DeleteItem("X"));
  EXPECT_FALSE(Alive(x));
  EXPECT_EQ(cq.Count(), 1);
  EXPECT_EQ(cq.GetItem("X"), nullptr);
  EXPECT_EQ(cq.GetItemByIndex(0), y);
  EXPECT_FALSE(cq.DeleteItem("X"));
}

TEST(TlumCacheQueueTest, NoCacheWithSizeZeroAndNoStaleEntryAfterResizing) {
  TlumCacheQueue cq;
  cq.SetOwnObjects(true);
  cq.AddItem(new Item("X"));
  EXPECT_EQ(cq.CacheSize(), 0);
  EXPECT_NE(cq.GetItem("X"), nullptr);
  EXPECT_EQ(cq.Cache().Count(), 0);

  cq.SetCacheSize(2);
  ASSERT_NE(cq.GetItem("X"), nullptr);
  ASSERT_EQ(cq.Cache().Count(), 1);
  // Deleting while the cache is switched off must still purge it: the item is freed.
  cq.SetCacheSize(0);
  EXPECT_TRUE(cq.DeleteItem("X"));
  EXPECT_EQ(cq.Cache().Count(), 0);
  cq.SetCacheSize(2);
  EXPECT_EQ(cq.GetItem("X"), nullptr);
}

TEST(TlumCacheQueueTest, ClearEmptiesCacheAndQueue) {
  TlumCacheQueue cq;
  cq.SetOwnObjects(true);
  cq.SetCacheSize(4);
  auto* x = new Item("X");
  cq.AddItem(x);
  cq.GetItem("X");
  cq.Clear();
  EXPECT_FALSE(Alive(x));
  EXPECT_EQ(cq.Cache().Count(), 0);
  EXPECT_EQ(cq.Count(), 0);
}

// ---- grouped list ----

std::vector<std::string> GroupNames(TlumCacheQueueListBase& list) {
  std::vector<std::string> names;
  for (int i = 0; i < list.GroupCount(); ++i) names.push_back(list.GetGroupByIndex(i)->QueueName());
  return names;
}

TEST(TlumCacheQueueListBaseTest, GroupsByIdPrefix) {
  struct Case {
    int groupLevel;
    std::vector<std::string> groups;
  };
  const Case cases[] = {{1, {"a", "b"}}, {0, {""}}, {-3, {""}}, {2, {"ab", "ax", "b1"}},
                        {5, {"ab", "ax", "b1"}}};
  for (const Case& c : cases) {
    TlumCacheQueueListBase list;
    list.SetGroupLevel(c.groupLevel);
    for (const char* id : {"ab", "ax", "b1"}) list.AddItem(new Item(id));
    EXPECT_EQ(GroupNames(list), c.groups) << c.groupLevel;
    EXPECT_EQ(list.Count(), 3);
    EXPECT_NE(list.GetItem("ax"), nullptr);
  }
}

TEST(TlumCacheQueueListBaseTest, MissLeavesAnEmptyGroupAndDestroyFreesEverything) {
  Item* kept;
  {
    TlumCacheQueueListBase list;
    EXPECT_EQ(list.GetItem("zz"), nullptr);
    EXPECT_EQ(GroupNames(list), std::vector<std::string>{"z"});
    EXPECT_EQ(list.GetGroupByIndex(0)->Count(), 0);
    EXPECT_FALSE(list.DeleteItem("q1"));
    EXPECT_EQ(GroupNames(list), (std::vector<std::string>{"z", "q"}));
    kept = new Item("k");
    list.AddItem(kept);
  }
  EXPECT_FALSE(Alive(kept)) << "groups own their items";
}

TEST(TlumCacheQueueListTest, CacheSizeAppliesToGroupsMadeAfterwards) {
  TlumCacheQueueList list;
  EXPECT_EQ(list.GroupLevel(), 1);
  list.SetCacheSize(3);
  list.AddItem(new Item("a1"));
  list.SetCacheSize(7);
  list.AddItem(new Item("b1"));
  list.AddItem(new Item("a2"));
  EXPECT_EQ(list.QueueCache().GetGroupByIndex(0)->CacheSize(), 3);
  EXPECT_EQ(list.QueueCache().GetGroupByIndex(1)->CacheSize(), 7);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.GetItem("a2")->ID(), "a2");
  EXPECT_TRUE(list.DeleteItem("a1"));
  EXPECT_FALSE(list.DeleteItem("a1"));
  EXPECT_EQ(list.Count(), 2);
}

// ---- named queues ----

TEST(TlumQueueNameListBaseTest, AddingTheSameQueueAndIdTwiceKeepsOne) {
  TlumQueueNameListBase list;
  auto* first = new NameItem("id1", "chat");
  auto* second = new NameItem("id1", "chat");
  EXPECT_TRUE(list.AddItem(first));
  EXPECT_FALSE(list.AddItem(second));
  EXPECT_EQ(list.Count(), 1);
  EXPECT_TRUE(Alive(second)) << "a refused item stays with the caller";
  delete second;
  EXPECT_TRUE(list.AddItem(new NameItem("id1", "news"))) << "same ID, other queue";
  EXPECT_EQ(list.Count(), 2);
}

TEST(TlumQueueNameListBaseTest, DeletesByIdAcrossQueuesAndByQueueName) {
  TlumQueueNameListBase list;
  auto* c1 = new NameItem("c1", "chat");
  auto* n1 = new NameItem("c1", "news");
  auto* n2 = new NameItem("c2", "news");
  for (auto* it : {c1, n1, n2}) ASSERT_TRUE(list.AddItem(it));

  list.DeleteItem("c1");
  EXPECT_FALSE(Alive(c1));
  EXPECT_FALSE(Alive(n1));
  EXPECT_EQ(list.Count(), 1);

  EXPECT_FALSE(list.DeleteItem("sport", "c2")) << "unknown queue";
  EXPECT_EQ(list.QueueCount(), 2) << "a delete does not create the queue";
  EXPECT_TRUE(list.DeleteItem("chat", "c2")) << "known queue, absent ID: still true";
  EXPECT_TRUE(Alive(n2));
  EXPECT_TRUE(list.DeleteItem("news", "c2"));
  EXPECT_FALSE(Alive(n2));
  EXPECT_EQ(list.Count(), 0);
}

TEST(TlumQueueNameListBaseTest, GetQueueByNameCreatesOnceExactName) {
  TlumQueueNameListBase list;
  TlumQueueNameBase* q = list.GetQueueByName("Room");
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(list.GetQueueByName("Room"), q);
  EXPECT_NE(list.GetQueueByName("room"), q);
  EXPECT_TRUE(q->OwnObjects());
  EXPECT_EQ(q->QueueName(), "Room");
}

TEST(TlumQueueNameListBaseTest, DelimitedTextOfQueueNames) {
  struct Case {
    std::vector<std::string> names;  // in creation order
    std::string text;
  };
  const Case cases[] = {
      {{}, ""},
      {{"a"}, "a"},
      {{"a", "b", "c"}, "c,b,a"},
      {{"x y", "p,q", "say \"hi\"", "tab\there"},
       "\"tab\there\",\"say \"\"hi\"\"\",\"p,q\",\"x y\""},
      {{""}, "\"\""},
      {{"", "b"}, "b,"},
  };
  for (const Case& c : cases) {
    TlumQueueNameListBase list;
    for (const std::string& n : c.names) list.GetQueueByName(n);
    EXPECT_EQ(list.GetQueuesDelimitedText(), c.text);
  }
}

// ---- connection registries ----

struct FakeConnection {
  std::string guid;
  const std::string& Guid() const { return guid; }
};

TEST(ConnectionRegistryTest, CacheFindsConnectionsByGuidWithoutOwningThem) {
  FakeConnection a{"AAAA0001"}, b{"BBBB0002"};
  {
    TlumCacheQueueListConnections<FakeConnection> registry;
    registry.SetCacheSize(10);
    for (FakeConnection* c : {&a, &b}) {
      auto* item = new TlumQueueItemConnection<FakeConnection>();
      item->SetConnection(c);
      EXPECT_EQ(item->ID(), c->guid);
      registry.AddItem(item);
    }
    EXPECT_EQ(registry.GetConnection("BBBB0002"), &b);
    EXPECT_EQ(registry.GetConnection("BBBB0002"), &b);  // now from the cache
    EXPECT_EQ(registry.GetConnection("CCCC"), nullptr);
    EXPECT_TRUE(registry.DeleteItem("AAAA0001"));
    EXPECT_EQ(registry.GetConnection("AAAA0001"), nullptr);
  }
  // The items were freed with the registry; the connections are ours (on the stack).
  EXPECT_EQ(a.guid, "AAAA0001");
}

TEST(ConnectionRegistryTest, ChannelsListSubscriptionsAndConnectionsLastToFirst) {
  using Channels = TlumQueueListChannels<FakeConnection>;
  FakeConnection a{"A"}, b{"B"};
  Channels channels;
  auto subscribe = [&](FakeConnection& c, const char* channel) {
    auto* s = new Channels::TSubscription();
    s->SetConnection(&c);
    s->SetQueue(channel);
    return channels.AddItem(s);
  };
  ASSERT_TRUE(subscribe(a, "chat"));
  ASSERT_TRUE(subscribe(b, "chat"));
  ASSERT_TRUE(subscribe(a, "news"));

  std::vector<Channels::TSubscription*> subs;
  channels.GetChannels("A", subs);
  ASSERT_EQ(subs.size(), 2u);
  EXPECT_EQ(subs[0]->Queue(), "news");
  EXPECT_EQ(subs[1]->Queue(), "chat");

  std::vector<FakeConnection*> conns;
  channels.GetConnections("chat", conns);
  EXPECT_EQ(conns, (std::vector<FakeConnection*>{&b, &a}));
  conns.clear();
  channels.GetConnections("sport", conns);
  EXPECT_TRUE(conns.empty());
  EXPECT_EQ(channels.QueueCount(), 3) << "asking for a channel creates it";

  channels.DeleteItem("A");
  subs.clear();
  channels.GetChannels("A", subs);
  EXPECT_TRUE(subs.empty());
  EXPECT_EQ(channels.Count(), 1);
}

// ---- concurrency ----

TEST(QueuesConcurrencyTest, OneGroupPerKeyAndOneSubscriptionPerIdUnderRaces) {
  TlumCacheQueueListBase groups;
  groups.SetGroupLevel(1);
  TlumQueueNameListBase named;
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        groups.AddItem(new Item("k" + std::to_string(t) + "_" + std::to_string(i)));
        auto* s = new NameItem("id" + std::to_string(i), "room");
        if (named.AddItem(s)) {
          ++accepted;
        } else {
          delete s;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(GroupNames(groups), std::vector<std::string>{"k"});
  EXPECT_EQ(groups.Count(), 800);
  EXPECT_EQ(accepted.load(), 200);
  EXPECT_EQ(named.Count(), 200);
}

TEST(QueuesConcurrencyTest, CacheNeverKeepsAnItemItsQueueNoLongerHas) {
  TlumCacheQueue cq;
  cq.SetOwnObjects(true);
  cq.SetCacheSize(8);
  constexpr int kIds = 16;
  auto stopAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {  // writers: add and delete the same few IDs
      for (int i = 0; std::chrono::steady_clock::now() < stopAt; ++i) {
        std::string id = std::to_string((i * 7 + t) % kIds);
        if (i % 2 == 0) {
          cq.AddItem(new Item(id));
        } else {
          cq.DeleteItem(id);
        }
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {  // readers: only look, never touch what they get
      for (int i = 0; std::chrono::steady_clock::now() < stopAt; ++i) {
        cq.GetItem(std::to_string((i * 3 + t) % kIds));
      }
    });
  }
  for (auto& th : threads) th.join();

  TlumFIFOQueue& cache = cq.Cache();
  for (int i = 0; i < cache.Count(); ++i) {
    TlumQueueItemBase* cached = cache.GetItemByIndex(i);
    ASSERT_TRUE(Alive(cached)) << "a freed item was left in the cache";
    bool inQueue = false;
    for (int j = 0; j < cq.Count(); ++j) inQueue = inQueue || cq.GetItemByIndex(j) == cached;
    EXPECT_TRUE(inQueue);
  }
}

}  // namespace
