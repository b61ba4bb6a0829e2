// Completion ports: packets, time-outs, failed-operation packets, LIFO wake-up, closing, the
// bound on threads running packets at once.
#include "platform/win32/CompletionPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/win32/KernelObject.h"

namespace {

using namespace std::chrono_literals;

// The byte count of the next packet taken from the port, -1 when none came within aMs.
long NextPacketBytes(HANDLE h, DWORD aMs) {
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED ov = nullptr;
  return GetQueuedCompletionStatus(h, &bytes, &key, &ov, aMs) ? static_cast<long>(bytes) : -1L;
}

struct Port {
  HANDLE h = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  ~Port() {
    if (h) CloseHandle(h);
  }
};

TEST(CompletionPort, PostedPacketsComeBackInOrderWithTheirFields) {
  Port port;
  ASSERT_NE(port.h, nullptr);
  OVERLAPPED a{}, b{};
  ASSERT_TRUE(PostQueuedCompletionStatus(port.h, 11, 7, &a));
  ASSERT_TRUE(PostQueuedCompletionStatus(port.h, 22, 8, &b));
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED ov = nullptr;
  ASSERT_TRUE(GetQueuedCompletionStatus(port.h, &bytes, &key, &ov, 0));
  EXPECT_EQ(bytes, 11u);
  EXPECT_EQ(key, 7u);
  EXPECT_EQ(ov, &a);
  ASSERT_TRUE(GetQueuedCompletionStatus(port.h, &bytes, &key, &ov, 0));
  EXPECT_EQ(ov, &b);
  // A sentinel pointer (the worker pool's stop signal) travels untouched.
  auto* stop = reinterpret_cast<LPOVERLAPPED>(~ULONG_PTR{0});
  ASSERT_TRUE(PostQueuedCompletionStatus(port.h, 0, 0, stop));
  ASSERT_TRUE(GetQueuedCompletionStatus(port.h, &bytes, &key, &ov, 0));
  EXPECT_EQ(ov, stop);
}

TEST(CompletionPort, TimeoutGivesWaitTimeoutAndNoOverlapped) {
  Port port;
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED ov = reinterpret_cast<LPOVERLAPPED>(1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(GetQueuedCompletionStatus(port.h, &bytes, &key, &ov, 50));
  EXPECT_EQ(GetLastError(), WAIT_TIMEOUT);
  EXPECT_EQ(ov, nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
}

TEST(CompletionPort, FailedOperationPacketReturnsFalseWithItsOverlappedAndCode) {
  Port port;
  auto ref = quillon::platform::detail::ReferenceHandle(port.h);
  ASSERT_TRUE(ref);
  OVERLAPPED op{};
  ASSERT_TRUE(quillon::platform::detail::PostCompletion(ref.get(), 3, 5, &op,
                                                        ERROR_CONNECTION_INVALID));
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED ov = nullptr;
  EXPECT_FALSE(GetQueuedCompletionStatus(port.h, &bytes, &key, &ov, 0));
  EXPECT_EQ(GetLastError(), ERROR_CONNECTION_INVALID);
  EXPECT_EQ(ov, &op);
  EXPECT_EQ(op.Internal, ERROR_CONNECTION_INVALID);
  EXPECT_EQ(op.InternalHigh, 5u);
}

TEST(CompletionPort, WaitersAreWokenLastInFirstOut) {
  Port port;
  std::atomic<int> waiting{0};
  std::vector<int> order;
  std::mutex orderLock;
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      DWORD bytes;
      ULONG_PTR key;
      LPOVERLAPPED ov;
      ++waiting;
      if (GetQueuedCompletionStatus(port.h, &bytes, &key, &ov, 5000)) {
        std::lock_guard g(orderLock);
        order.push_back(i);
      }
    });
    // Let thread i block before the next one starts, so the wait order is known.
    while (waiting.load() != i + 1) std::this_thread::yield();
    std::this_thread::sleep_for(30ms);
  }
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(PostQueuedCompletionStatus(port.h, 0, 0, nullptr));
    std::this_thread::sleep_for(30ms);  // the woken thread records itself first
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(order, (std::vector<int>{2, 1, 0}));
}

TEST(CompletionPort, ClosingThePortReleasesItsWaiters) {
  HANDLE h = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  std::atomic<DWORD> error{0};
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    DWORD bytes;
    ULONG_PTR key;
    LPOVERLAPPED ov;
    BOOL ok = GetQueuedCompletionStatus(h, &bytes, &key, &ov, INFINITE);
    error = ok ? 0 : GetLastError();
    done = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(done.load());
  EXPECT_TRUE(CloseHandle(h));
  waiter.join();
  EXPECT_EQ(error.load(), ERROR_ABANDONED_WAIT_0);
  // The handle is gone now.
  EXPECT_FALSE(PostQueuedCompletionStatus(h, 0, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(h));
}

TEST(CompletionPort, BadArgumentsFailCleanly) {
  DWORD bytes;
  ULONG_PTR key;
  LPOVERLAPPED ov;
  int notAHandle = 0;
  EXPECT_FALSE(GetQueuedCompletionStatus(&notAHandle, &bytes, &key, &ov, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // A port is not something one binds to another port.
  Port a, b;
  EXPECT_EQ(CreateIoCompletionPort(a.h, b.h, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CompletionPort, ManyProducersAndConsumersLoseNoPacket) {
  Port port;
  constexpr int kPerProducer = 5000;
  std::atomic<long> received{0};
  std::vector<std::thread> consumers;
  for (int i = 0; i < 4; ++i) {
    consumers.emplace_back([&] {
      for (;;) {
        DWORD bytes;
        ULONG_PTR key;
        LPOVERLAPPED ov;
        if (!GetQueuedCompletionStatus(port.h, &bytes, &key, &ov, 5000)) return;
        if (key == 99) return;
        received += bytes;
      }
    });
  }
  std::vector<std::thread> producers;
  for (int i = 0; i < 3; ++i) {
    producers.emplace_back([&] {
      for (int n = 0; n < kPerProducer; ++n) PostQueuedCompletionStatus(port.h, 1, 0, nullptr);
    });
  }
  for (auto& t : producers) t.join();
  for (int i = 0; i < 4; ++i) PostQueuedCompletionStatus(port.h, 0, 99, nullptr);
  for (auto& t : consumers) t.join();
  EXPECT_EQ(received.load(), 3L * kPerProducer);
}

// Over the concurrency bound a packet waits for a running thread to come back for it, rather
// than waking another; but a running thread that blocks does not hold the port up.
TEST(CompletionPort, ConcurrencyBoundsTheThreadsRunningPackets) {
  HANDLE h = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  ASSERT_NE(h, nullptr);
  auto next = [&](DWORD ms) { return NextPacketBytes(h, ms); };
  for (DWORD b : {1, 2}) ASSERT_TRUE(PostQueuedCompletionStatus(h, b, 0, nullptr));
  EXPECT_EQ(next(0), 1);  // this thread now runs a packet: the one slot is taken
  long other = 0;
  std::thread([&] { other = next(0); }).join();
  EXPECT_EQ(other, -1);   // queued, but over the bound
  EXPECT_EQ(next(0), 2);  // the running thread comes back for it

  // This thread holds the slot and blocks; a packet posted now still runs, on a waiter.
  ASSERT_TRUE(PostQueuedCompletionStatus(h, 3, 0, nullptr));
  EXPECT_EQ(next(0), 3);
  std::promise<long> got;
  std::thread waiter([&] { got.set_value(next(5000)); });
  std::this_thread::sleep_for(50ms);  // the waiter is asleep on the port
  ASSERT_TRUE(PostQueuedCompletionStatus(h, 4, 0, nullptr));
  auto result = got.get_future();
  EXPECT_EQ(result.wait_for(4s), std::future_status::ready);
  waiter.join();
  EXPECT_EQ(result.get(), 4);
  CloseHandle(h);
}

// A waiter runs packets past the bound only when the running thread stops coming back for
// them: a thread that keeps taking packets is busy, one that takes none for a whole look is
// blocked. The look is lengthened so that a loaded machine cannot blur the two.
TEST(CompletionPort, PastTheBoundOnlyWhileTheRunningThreadTakesNoPackets) {
  using quillon::platform::detail::SetStallLook;
  using quillon::platform::detail::StallLook;
  const auto saved = StallLook();
  SetStallLook(200ms);
  HANDLE h = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  ASSERT_NE(h, nullptr);
  auto next = [&](DWORD ms) { return NextPacketBytes(h, ms); };
  ASSERT_TRUE(PostQueuedCompletionStatus(h, 1, 0, nullptr));
  ASSERT_EQ(next(0), 1);  // this thread holds the one slot
  std::atomic<bool> stop{false};
  std::atomic<long> pastTheBound{0};
  std::thread waiter([&] {
    while (!stop) {
      const long got = next(5000);
      if (got > 0) ++pastTheBound;
      if (got == 100) break;  // the last packet
    }
  });
  // Busy: one packet always waits, and this thread comes back for one many times per look.
  ASSERT_TRUE(PostQueuedCompletionStatus(h, 2, 0, nullptr));
  const auto busyUntil = std::chrono::steady_clock::now() + 1s;
  while (std::chrono::steady_clock::now() < busyUntil) {
    ASSERT_TRUE(PostQueuedCompletionStatus(h, 2, 0, nullptr));
    ASSERT_EQ(next(0), 2);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(pastTheBound.load(), 0) << "a busy running thread was taken for a blocked one";
  // Blocked: this thread keeps its slot and takes nothing; the waiting packets still run.
  ASSERT_TRUE(PostQueuedCompletionStatus(h, 100, 0, nullptr));
  for (int i = 0; i < 100 && pastTheBound.load() < 2; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(pastTheBound.load(), 2);
  stop = true;
  waiter.join();
  CloseHandle(h);
  SetStallLook(saved);
}

}  // namespace
