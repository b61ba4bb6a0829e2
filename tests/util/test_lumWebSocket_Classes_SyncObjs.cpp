// TlumCriticalSection and TlumThreadList: re-entrancy, duplicates, errors that leave the
// lock free, and the fixed list type.
#include "util/lumWebSocket_Classes_SyncObjs.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

namespace {

using namespace quillon;

bool TryFromOtherThread(TlumCriticalSection& cs) {
  return std::async(std::launch::async, [&] {
           bool got = cs.TryAcquire();
           if (got) cs.Release();
           return got;
         })
      .get();
}

TEST(TlumCriticalSectionTest, ReentrantForOwnerExclusiveForOthers) {
  TlumCriticalSection cs;
  cs.Acquire();
  EXPECT_TRUE(cs.TryAcquire());
  EXPECT_FALSE(TryFromOtherThread(cs));
  cs.Release();
  EXPECT_FALSE(TryFromOtherThread(cs));
  cs.Release();
  EXPECT_TRUE(TryFromOtherThread(cs));
}

TEST(TlumThreadListTest, DuplicatesModes) {
  int x = 0, y = 0;
  struct Case {
    TDuplicates mode;
    int countAfterTwoAdds;
    bool raises;
  };
  const Case cases[] = {{dupIgnore, 1, false}, {dupAccept, 2, false}, {dupError, 1, true}};
  for (const Case& c : cases) {
    TlumThreadList list;
    list.SetDuplicates(c.mode);
    list.Add(&x);
    bool raised = false;
    try {
      list.Add(&x);
    } catch (const EListError& e) {
      raised = true;
      EXPECT_NE(std::string(e.what()).find("List does not allow duplicates ($0"),
                std::string::npos);
    }
    EXPECT_EQ(raised, c.raises) << int(c.mode);
    list.Add(&y);  // a different reference is always added
    TList* inner = list.LockList();
    EXPECT_EQ(inner->Count(), c.countAfterTwoAdds + 1) << int(c.mode);
    list.UnlockList();
  }
}

TEST(TlumThreadListTest, ErrorsPropagateWithTheLockReleased) {
  TlumThreadList list;
  list.SetDuplicates(dupError);
  int x = 0;
  list.Add(&x);
  EXPECT_THROW(list.Add(&x), EListError);
  EXPECT_THROW(list.Delete(3), EListError);
  // Another thread can take the lock at once: nothing was left held.
  auto other = std::async(std::launch::async, [&] {
    list.LockList();
    list.UnlockList();
    return true;
  });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST(TlumThreadListTest, RemoveDeleteClearNeverFreeAndKeyedFormsIgnoreTheKey) {
  int a = 0, b = 0;
  TlumThreadList list;
  list.SetDuplicates(dupAccept);
  list.AddKey(&a, "ignored");
  list.Add(&b);
  list.Add(&a);
  list.RemoveItem(&a, FromEnd);
  TList* inner = list.LockList();
  ASSERT_EQ(inner->Count(), 2);
  EXPECT_EQ(inner->Items(0), &a);
  EXPECT_EQ(inner->Items(1), &b);
  list.UnlockList();
  list.DeleteKey(0, "also ignored");
  EXPECT_FALSE(list.IsEmpty());
  list.Clear();
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.GetValue("anything"), nullptr);
}

TEST(TlumThreadListTest, ListTypeIsAlwaysOnlyThread) {
  TlumThreadList list;
  for (TlumThreadListType t : {tdlThreadDictionary, tdlOnlyDictionary, tdlOnlyThread}) {
    list.SetListType(t);
    EXPECT_EQ(list.ListType(), tdlOnlyThread);
  }
}

TEST(TlumThreadListTest, ConcurrentAddsAndRemovesStayConsistent) {
  TlumThreadList list;
  list.SetDuplicates(dupAccept);
  std::vector<int> slots(4 * 500);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) list.Add(&slots[t * 500 + i]);
      for (int i = 0; i < 500; i += 2) list.Remove(&slots[t * 500 + i]);
    });
  }
  for (auto& th : threads) th.join();
  TList* inner = list.LockList();
  EXPECT_EQ(inner->Count(), 4 * 250);
  for (int i = 1; i < 4 * 500; i += 2) EXPECT_GE(inner->IndexOf(&slots[i]), 0);
  list.UnlockList();
}

}  // namespace
