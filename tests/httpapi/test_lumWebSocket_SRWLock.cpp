// TlumSRWLock and TlumSRWLockList: try semantics against another thread's hold, the list
// returned by LockList/ShareList, and a list that never frees its items.
#include "httpapi/lumWebSocket_SRWLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace {

using quillon::TlumSRWLock;
using quillon::TlumSRWLockList;

// Takes the lock on another thread and keeps it until the returned promise is set.
template <class Acquire, class Release>
std::pair<std::promise<void>, std::thread> HoldElsewhere(Acquire acquire, Release release) {
  std::promise<void> held, done;
  auto heldFuture = held.get_future();
  std::thread t([acquire, release, h = std::move(held), f = done.get_future()]() mutable {
    acquire();
    h.set_value();
    f.wait();
    release();
  });
  heldFuture.wait();
  return {std::move(done), std::move(t)};
}

TEST(TlumSRWLockTest, TryFormsAgainstASharedHolderOnAnotherThread) {
  TlumSRWLock lock;
  static_assert(sizeof(TlumSRWLock) == sizeof(void*));
  auto [release, holder] =
      HoldElsewhere([&] { lock.AcquireShared(); }, [&] { lock.ReleaseShared(); });

  EXPECT_FALSE(lock.TryAcquireExclusive());
  ASSERT_TRUE(lock.TryAcquireShared());
  lock.ReleaseShared();

  release.set_value();
  holder.join();
  ASSERT_TRUE(lock.TryAcquireExclusive());
  lock.ReleaseExclusive();
}

TEST(TlumSRWLockTest, TryFormsAgainstAnExclusiveHolderOnAnotherThread) {
  TlumSRWLock lock;
  auto [release, holder] =
      HoldElsewhere([&] { lock.AcquireExclusive(); }, [&] { lock.ReleaseExclusive(); });
  EXPECT_FALSE(lock.TryAcquireShared());
  EXPECT_FALSE(lock.TryAcquireExclusive());
  release.set_value();
  holder.join();
  EXPECT_TRUE(lock.TryAcquireShared());
  lock.ReleaseShared();
}

TEST(TlumSRWLockListTest, LockAndShareReturnTheListItselfForChaining) {
  TlumSRWLockList list;
  int a = 0;
  TlumSRWLockList* locked = list.LockList();
  EXPECT_EQ(locked, &list);
  locked->Add(&a);
  list.UnLockList();
  EXPECT_EQ(list.ShareList()->IndexOf(&a), 0);
  list.UnShareList();
  EXPECT_TRUE(list.Lock().TryAcquireExclusive()) << "every hold was released";
  list.Lock().ReleaseExclusive();
}

TEST(TlumSRWLockListTest, ExclusiveToChangeSharedToRead) {
  TlumSRWLockList list;
  int items[3] = {};
  list.LockList()->Add(&items[0]);
  list.Add(&items[1]);
  list.UnLockList();

  // Two readers at once: a second shared hold from another thread succeeds.
  TlumSRWLockList* shared = list.ShareList();
  EXPECT_EQ(shared, &list);
  EXPECT_EQ(shared->Count(), 2);
  bool otherReader =
      std::async(std::launch::async, [&] {
        bool got = list.Lock().TryAcquireShared();
        if (got) list.Lock().ReleaseShared();
        return got;
      }).get();
  bool otherWriter =
      std::async(std::launch::async, [&] {
        bool got = list.Lock().TryAcquireExclusive();
        if (got) list.Lock().ReleaseExclusive();
        return got;
      }).get();
  EXPECT_TRUE(otherReader);
  EXPECT_FALSE(otherWriter);
  EXPECT_EQ(shared->IndexOf(&items[1]), 1);
  list.UnShareList();
}

TEST(TlumSRWLockListTest, DestroyingTheListLeavesItsItemsAlone) {
  auto a = std::make_unique<std::vector<int>>(100, 7);
  {
    TlumSRWLockList list;
    list.LockList()->Add(a.get());
    list.UnLockList();
  }
  // Freed by the list it would be a double free here (and a use after free below).
  EXPECT_EQ((*a)[99], 7);
}

TEST(TlumSRWLockListTest, ConcurrentWritersAndReaders) {
  TlumSRWLockList list;
  std::vector<int> slots(2 * 1000);
  std::atomic<bool> sawTornCount{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 1000; ++i) {
        std::unique_lock hold(list.Lock());
        list.Add(&slots[t * 1000 + i]);
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        std::shared_lock hold(list.Lock());
        int n = list.Count();
        if (n > 0 && list.Items(n - 1) == nullptr) sawTornCount = true;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(list.Count(), 2000);
  EXPECT_FALSE(sawTornCount.load());
}

}  // namespace
