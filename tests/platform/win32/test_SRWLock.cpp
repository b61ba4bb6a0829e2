// The one-word reader/writer lock: try semantics against holders on other threads,
// writers preferred over new readers, exclusion and parallel readers under load.
#include "platform/win32/SRWLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

enum class Hold { None, Shared, Exclusive };

// Runs `hold` on another thread, lets the test probe, then releases it.
class Holder {
 public:
  Holder(SRWLOCK& lock, Hold mode) : lock_(lock), mode_(mode) {
    if (mode_ == Hold::None) return;
    thread_ = std::thread([this] {
      if (mode_ == Hold::Shared) AcquireSRWLockShared(&lock_);
      else AcquireSRWLockExclusive(&lock_);
      held_.set_value();
      release_.get_future().wait();
      if (mode_ == Hold::Shared) ReleaseSRWLockShared(&lock_);
      else ReleaseSRWLockExclusive(&lock_);
    });
    held_.get_future().wait();
  }
  ~Holder() {
    if (mode_ == Hold::None) return;
    release_.set_value();
    thread_.join();
  }

 private:
  SRWLOCK& lock_;
  Hold mode_;
  std::promise<void> held_, release_;
  std::thread thread_;
};

TEST(SRWLockTest, IsOneWordAndStartsFree) {
  static_assert(sizeof(SRWLOCK) == sizeof(void*));
  SRWLOCK lock = SRWLOCK_INIT;
  ASSERT_TRUE(TryAcquireSRWLockExclusive(&lock));
  ReleaseSRWLockExclusive(&lock);
}

struct TryCase {
  Hold heldByOther;
  bool sharedSucceeds;
  bool exclusiveSucceeds;
};

class SRWLockTryTest : public ::testing::TestWithParam<TryCase> {};

TEST_P(SRWLockTryTest, TryFormsAnswerAtOnceAgainstAnotherThreadsHold) {
  const TryCase& c = GetParam();
  SRWLOCK lock;
  InitializeSRWLock(&lock);
  Holder holder(lock, c.heldByOther);

  auto start = std::chrono::steady_clock::now();
  BOOLEAN shared = TryAcquireSRWLockShared(&lock);
  if (shared) ReleaseSRWLockShared(&lock);
  BOOLEAN exclusive = TryAcquireSRWLockExclusive(&lock);
  if (exclusive) ReleaseSRWLockExclusive(&lock);

  EXPECT_EQ(shared != 0, c.sharedSucceeds);
  EXPECT_EQ(exclusive != 0, c.exclusiveSucceeds);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "a try never waits";
}

INSTANTIATE_TEST_SUITE_P(Holds, SRWLockTryTest,
                         ::testing::Values(TryCase{Hold::None, true, true},
                                           TryCase{Hold::Shared, true, false},
                                           TryCase{Hold::Exclusive, false, false}));

TEST(SRWLockTest, ExclusiveWaiterBlocksNewReadersAndGetsTheLockNext) {
  SRWLOCK lock = SRWLOCK_INIT;
  AcquireSRWLockShared(&lock);  // a reader holds it

  std::atomic<bool> writerIn{false};
  std::thread writer([&] {
    AcquireSRWLockExclusive(&lock);
    writerIn = true;
    ReleaseSRWLockExclusive(&lock);
  });
  // Wait until the writer has registered as waiting: new shared tries then fail.
  auto deadline = std::chrono::steady_clock::now() + 5s;
  bool readersHeldBack = false;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!TryAcquireSRWLockShared(&lock)) {
      readersHeldBack = true;
      break;
    }
    ReleaseSRWLockShared(&lock);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(readersHeldBack);
  EXPECT_FALSE(writerIn.load());

  ReleaseSRWLockShared(&lock);
  writer.join();
  EXPECT_TRUE(writerIn.load());
  EXPECT_TRUE(TryAcquireSRWLockShared(&lock));
  ReleaseSRWLockShared(&lock);
}

TEST(SRWLockTest, BlockedReadersAllWakeWhenTheWriterLeaves) {
  SRWLOCK lock = SRWLOCK_INIT;
  AcquireSRWLockExclusive(&lock);
  std::atomic<int> inside{0};
  std::atomic<int> maxInside{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      AcquireSRWLockShared(&lock);
      int now = ++inside;
      int seen = maxInside.load();
      while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
      }
      // Stay until all four are in at once, proving they share the lock.
      auto until = std::chrono::steady_clock::now() + 5s;
      while (inside.load() < 4 && std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
      }
      ReleaseSRWLockShared(&lock);
    });
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(inside.load(), 0);
  ReleaseSRWLockExclusive(&lock);
  for (auto& r : readers) r.join();
  EXPECT_EQ(maxInside.load(), 4);
}

TEST(SRWLockTest, MixedLoadKeepsWritersExclusive) {
  SRWLOCK lock = SRWLOCK_INIT;
  long value = 0;  // written under the exclusive lock only
  std::atomic<int> writersInside{0};
  std::atomic<bool> overlap{false};
  auto stopAt = std::chrono::steady_clock::now() + 500ms;

  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000 && std::chrono::steady_clock::now() < stopAt; ++i) {
        AcquireSRWLockExclusive(&lock);
        if (++writersInside != 1) overlap = true;
        ++value;
        --writersInside;
        ReleaseSRWLockExclusive(&lock);
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000 && std::chrono::steady_clock::now() < stopAt; ++i) {
        AcquireSRWLockShared(&lock);
        if (writersInside.load() != 0) overlap = true;
        long seen = value;
        ReleaseSRWLockShared(&lock);
        if (seen < 0) overlap = true;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_GT(value, 0);
  EXPECT_TRUE(TryAcquireSRWLockExclusive(&lock)) << "nothing left held";
  ReleaseSRWLockExclusive(&lock);
}

}  // namespace
