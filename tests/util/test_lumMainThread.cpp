// MainThreadQueue: calls run only when the main loop drains the queue, synchronous calls
// wait and carry exceptions back, and an owner can withdraw its calls.
#include "util/lumMainThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

namespace {

using quillon::MainThreadQueue;
using namespace std::chrono_literals;

// gtest runs the tests on the thread that started the program: the main thread.
TEST(MainThreadQueueTest, QueuedCallsRunOnTheMainThreadWhenDrained) {
  ASSERT_TRUE(MainThreadQueue::IsMainThread());
  std::thread::id ranOn;
  int order = 0, first = 0, second = 0;
  std::thread([&] {
    EXPECT_FALSE(MainThreadQueue::IsMainThread());
    MainThreadQueue::Queue(this, [&] {
      ranOn = std::this_thread::get_id();
      first = ++order;
    });
    MainThreadQueue::Queue(this, [&] { second = ++order; });
  }).join();
  EXPECT_EQ(order, 0) << "nothing runs before the loop drains";
  EXPECT_TRUE(MainThreadQueue::CheckSynchronize());
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  EXPECT_FALSE(MainThreadQueue::CheckSynchronize());
}

TEST(MainThreadQueueTest, SynchronizeWaitsAndCarriesExceptionsBack) {
  auto worker = std::async(std::launch::async, [&] {
    bool ran = MainThreadQueue::Synchronize(this, [] {});
    try {
      MainThreadQueue::Synchronize(this, [] { throw std::runtime_error("boom"); });
      return std::string("no exception");
    } catch (const std::runtime_error& e) {
      return std::string(ran ? "ran, then " : "not run, then ") + e.what();
    }
  });
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (worker.wait_for(0s) != std::future_status::ready &&
         std::chrono::steady_clock::now() < deadline) {
    MainThreadQueue::CheckSynchronize(10ms);
  }
  ASSERT_EQ(worker.wait_for(0s), std::future_status::ready);
  EXPECT_EQ(worker.get(), "ran, then boom");

  // On the main thread itself it runs at once.
  int n = 0;
  EXPECT_TRUE(MainThreadQueue::Synchronize(this, [&] { ++n; }));
  EXPECT_EQ(n, 1);
}

TEST(MainThreadQueueTest, RemoveQueuedDropsPendingCallsAndReleasesWaiters) {
  int owner1 = 0, owner2 = 0;
  std::atomic<int> ran{0};
  MainThreadQueue::Queue(&owner1, [&] { ran += 1; });
  MainThreadQueue::Queue(&owner2, [&] { ran += 10; });
  auto waiter = std::async(std::launch::async, [&] {
    return MainThreadQueue::Synchronize(&owner1, [&] { ran += 100; });
  });
  // Let the synchronous call get queued, then withdraw everything of owner1.
  std::this_thread::sleep_for(50ms);
  MainThreadQueue::RemoveQueued(&owner1);
  ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(waiter.get()) << "dropped, not run";
  MainThreadQueue::CheckSynchronize();
  EXPECT_EQ(ran.load(), 10);
}

TEST(MainThreadQueueTest, QueuedExceptionReachesTheLoopAndOthersStillRun) {
  int ok = 0;
  MainThreadQueue::Queue(this, [] { throw std::logic_error("queued"); });
  MainThreadQueue::Queue(this, [&] { ++ok; });
  EXPECT_THROW(MainThreadQueue::CheckSynchronize(), std::logic_error);
  EXPECT_TRUE(MainThreadQueue::CheckSynchronize());
  EXPECT_EQ(ok, 1);
}

TEST(MainThreadQueueTest, WakeHookHearsOfNewCalls) {
  std::atomic<int> wakes{0};
  MainThreadQueue::SetWakeMainThread([&] { ++wakes; });
  std::thread([&] { MainThreadQueue::Queue(this, [] {}); }).join();
  MainThreadQueue::SetWakeMainThread(nullptr);
  EXPECT_EQ(wakes.load(), 1);
  MainThreadQueue::CheckSynchronize();
}

TEST(MainThreadQueueTest, DrainingOffTheMainThreadDoesNothing) {
  int n = 0;
  MainThreadQueue::Queue(this, [&] { ++n; });
  bool ranElsewhere = std::async(std::launch::async, [] {
                        return MainThreadQueue::CheckSynchronize();
                      }).get();
  EXPECT_FALSE(ranElsewhere);
  EXPECT_EQ(n, 0);
  MainThreadQueue::CheckSynchronize();
  EXPECT_EQ(n, 1);
}

}  // namespace
