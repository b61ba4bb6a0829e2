// TlumTimer: 100 ms steps, disabling mid-count, handlers that throw, the three ways of
// firing, and prompt destruction.
#include "util/lumWebSocket_Classes_Timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "util/lumMainThread.h"

namespace {

using namespace quillon;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Records firing times and waits for a number of them.
class Recorder {
 public:
  void Fire() {
    std::lock_guard lock(mutex_);
    times_.push_back(Clock::now());
    threads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
  }
  bool WaitFor(std::size_t n, std::chrono::milliseconds limit = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return times_.size() >= n; });
  }
  std::size_t Count() {
    std::lock_guard lock(mutex_);
    return times_.size();
  }
  std::vector<Clock::time_point> Times() {
    std::lock_guard lock(mutex_);
    return times_;
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Clock::time_point> times_;
  std::vector<std::thread::id> threads_;
};

TEST(TlumTimerTest, DefaultsAndCreatedStopped) {
  TlumTimer timer;
  EXPECT_EQ(timer.Interval(), 60000);
  EXPECT_EQ(timer.NotifyEvents(), neNoSync);
  EXPECT_FALSE(timer.Enabled());
}

TEST(TlumTimerTest, CountsInWholeStepsOf100Ms) {
  struct Case {
    int interval;
    std::chrono::milliseconds atLeast;
  };
  // 250 ms is three steps; 0 or less waits one step instead of spinning.
  const Case cases[] = {{250, 300ms}, {100, 100ms}, {0, 100ms}, {-5, 100ms}};
  for (const Case& c : cases) {
    Recorder rec;
    TlumTimer timer;
    timer.SetInterval(c.interval);
    timer.SetOnTimer([&](TlumTimer*) { rec.Fire(); });
    auto start = Clock::now();
    timer.SetEnabled(true);
    ASSERT_TRUE(rec.WaitFor(2)) << c.interval;
    timer.SetEnabled(false);
    auto times = rec.Times();
    EXPECT_GE(times[0] - start, c.atLeast) << c.interval;
    EXPECT_GE(times[1] - times[0], c.atLeast - 1ms) << c.interval;
  }
}

TEST(TlumTimerTest, DisablingDuringTheCountEndsItWithoutFiring) {
  Recorder rec;
  TlumTimer timer;
  timer.SetInterval(300);
  timer.SetOnTimer([&](TlumTimer*) { rec.Fire(); });
  timer.SetEnabled(true);
  std::this_thread::sleep_for(150ms);
  timer.SetEnabled(false);
  EXPECT_FALSE(timer.Enabled());
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(rec.Count(), 0u);

  // Enabling again starts a fresh count.
  auto restart = Clock::now();
  timer.SetEnabled(true);
  ASSERT_TRUE(rec.WaitFor(1));
  EXPECT_GE(rec.Times()[0] - restart, 300ms);
}

TEST(TlumTimerTest, ThrowingHandlerDoesNotStopTheTimer) {
  for (bool withOnException : {false, true}) {
    Recorder rec;
    std::atomic<int> reported{0};
    TlumTimer timer;
    timer.SetInterval(100);
    timer.SetOnTimer([&](TlumTimer*) {
      rec.Fire();
      throw std::runtime_error("tick failed");
    });
    if (withOnException) {
      timer.SetOnException([&](TlumTimer* sender, const std::exception& e) {
        EXPECT_EQ(sender, &timer);
        EXPECT_STREQ(e.what(), "tick failed");
        ++reported;
        throw std::logic_error("the error handler fails too");
      });
    }
    timer.SetEnabled(true);
    EXPECT_TRUE(rec.WaitFor(3)) << withOnException;
    EXPECT_TRUE(timer.Enabled());
    timer.SetEnabled(false);
    if (withOnException) {
      EXPECT_GE(reported.load(), 2);
    }
  }
}

TEST(TlumTimerTest, NonStandardThrowEndsTheTimerAndItCanBeEnabledAgain) {
  Recorder rec;
  std::atomic<bool> throwNext{true};
  TlumTimer timer;
  timer.SetInterval(100);
  timer.SetOnTimer([&](TlumTimer*) {
    rec.Fire();
    if (throwNext.exchange(false)) throw 42;
  });
  timer.SetEnabled(true);
  ASSERT_TRUE(rec.WaitFor(1));
  auto deadline = Clock::now() + 5s;
  while (timer.Enabled() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(timer.Enabled());
  std::this_thread::sleep_for(250ms);
  EXPECT_EQ(rec.Count(), 1u);

  timer.SetEnabled(true);
  EXPECT_TRUE(rec.WaitFor(2));
}

TEST(TlumTimerTest, IntervalChangeAppliesFromTheNextCount) {
  Recorder rec;
  TlumTimer timer;
  timer.SetInterval(100);
  timer.SetOnTimer([&](TlumTimer* t) {
    rec.Fire();
    t->SetInterval(300);
  });
  timer.SetEnabled(true);
  ASSERT_TRUE(rec.WaitFor(2));
  timer.SetEnabled(false);
  auto times = rec.Times();
  EXPECT_GE(times[1] - times[0], 300ms);
}

TEST(TlumTimerTest, HandlerCanDisableItsOwnTimer) {
  Recorder rec;
  TlumTimer timer;
  timer.SetInterval(100);
  timer.SetOnTimer([&](TlumTimer* t) {
    rec.Fire();
    t->SetEnabled(false);
  });
  timer.SetEnabled(true);
  ASSERT_TRUE(rec.WaitFor(1));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(rec.Count(), 1u);
}

TEST(TlumTimerTest, DestructionDuringACountIsPromptAndSilent) {
  Recorder rec;
  auto timer = std::make_unique<TlumTimer>();
  timer->SetInterval(60000);
  timer->SetOnTimer([&](TlumTimer*) { rec.Fire(); });
  timer->SetEnabled(true);
  std::this_thread::sleep_for(50ms);
  auto start = Clock::now();
  timer.reset();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(rec.Count(), 0u);
}

TEST(TlumTimerTest, MainThreadModesRunTheHandlerWhereTheLoopDrains) {
  for (TwsNotifyEvent mode : {neAsynchronous, neSynchronous}) {
    Recorder rec;
    TlumTimer timer;
    timer.SetNotifyEvents(mode);
    timer.SetInterval(100);
    timer.SetOnTimer([&](TlumTimer*) { rec.Fire(); });
    timer.SetEnabled(true);
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(rec.Count(), 0u) << "nothing runs until the main loop drains";
    auto deadline = Clock::now() + 5s;
    while (rec.Count() < 2 && Clock::now() < deadline) MainThreadQueue::CheckSynchronize(20ms);
    timer.SetEnabled(false);
    ASSERT_GE(rec.Count(), 2u) << int(mode);
    for (auto id : rec.Threads()) EXPECT_EQ(id, std::this_thread::get_id());
  }
  MainThreadQueue::CheckSynchronize();
}

TEST(TlumTimerTest, SynchronousErrorGoesToOnExceptionOnTheTimerThread) {
  std::atomic<int> reported{0};
  std::thread::id reportedOn;
  std::mutex m;
  TlumTimer timer;
  timer.SetNotifyEvents(neSynchronous);
  timer.SetInterval(100);
  timer.SetOnTimer([](TlumTimer*) { throw std::runtime_error("on main"); });
  timer.SetOnException([&](TlumTimer*, const std::exception&) {
    std::lock_guard lock(m);
    reportedOn = std::this_thread::get_id();
    ++reported;
  });
  timer.SetEnabled(true);
  auto deadline = Clock::now() + 5s;
  while (reported.load() < 1 && Clock::now() < deadline) MainThreadQueue::CheckSynchronize(20ms);
  timer.SetEnabled(false);
  ASSERT_GE(reported.load(), 1);
  std::lock_guard lock(m);
  EXPECT_NE(reportedOn, std::this_thread::get_id());
}

TEST(TlumTimerTest, DestroyingWhileASynchronousFiringWaitsDoesNotHang) {
  Recorder rec;
  auto timer = std::make_unique<TlumTimer>();
  timer->SetNotifyEvents(neSynchronous);
  timer->SetInterval(100);
  timer->SetOnTimer([&](TlumTimer*) { rec.Fire(); });
  timer->SetEnabled(true);
  std::this_thread::sleep_for(250ms);  // the thread now waits for the main loop
  auto start = Clock::now();
  timer.reset();  // on the main thread, which never drained
  EXPECT_LT(Clock::now() - start, 1s);
  MainThreadQueue::CheckSynchronize();
  EXPECT_EQ(rec.Count(), 0u) << "the withdrawn call must not run later";
}

}  // namespace
