// TlumTimer: a periodic timer on a thread of its own. Each cycle counts the interval down
// in 100 ms steps (so 250 ms fires after 300 ms; an interval of 0 or less waits one step)
// and then fires OnTimer where NotifyEvents says. Disabling ends a count without firing;
// a handler that throws does not stop the timer.
// Not to be destroyed from its own OnTimer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "util/lumNotifyEvent.h"

namespace quillon {

class TlumTimer {
 public:
  using TNotifyEvent = std::function<void(TlumTimer* Sender)>;
  using TExceptionEvent = std::function<void(TlumTimer* Sender, const std::exception& E)>;

  static constexpr int kStepMs = 100;

  TlumTimer();
  // Stops the thread and waits for it.
  ~TlumTimer();
  TlumTimer(const TlumTimer&) = delete;
  TlumTimer& operator=(const TlumTimer&) = delete;

  // Milliseconds between firings (default 60000); a change applies from the next count.
  int Interval() const { return FInterval.load(std::memory_order_relaxed); }
  void SetInterval(int Value) { FInterval.store(Value, std::memory_order_relaxed); }
  TwsNotifyEvent NotifyEvents() const { return FNotifyEvents.load(std::memory_order_relaxed); }
  void SetNotifyEvents(TwsNotifyEvent Value) {
    FNotifyEvents.store(Value, std::memory_order_relaxed);
  }
  void SetOnTimer(TNotifyEvent Handler);
  // Receives what OnTimer throws (std::exception and derived); other throws end the timer.
  void SetOnException(TExceptionEvent Handler);

  bool Enabled() const;
  // True starts counting afresh; false ends the current count without a firing.
  void SetEnabled(bool Value);

 private:
  void Execute();
  void Fire(const TNotifyEvent& onTimer, const TExceptionEvent& onException,
            TwsNotifyEvent mode);
  void RunOnMainThreadAndWait(const TNotifyEvent& onTimer);
  void ReportException(const TExceptionEvent& onException, const std::exception& e);

  std::atomic<int> FInterval{60000};
  std::atomic<TwsNotifyEvent> FNotifyEvents{neNoSync};

  mutable std::mutex FMutex;  // guards everything below
  std::condition_variable FWake;
  TNotifyEvent FOnTimer;
  TExceptionEvent FOnException;
  bool FEnabled = false;
  bool FDestroying = false;
  bool FThreadEnded = false;
  std::uint64_t FGeneration = 0;  // bumped by every Enabled change: a count in progress ends
  bool FSyncDone = false;         // the main thread finished a synchronous firing
  std::exception_ptr FSyncError;
  std::thread FThread;
};

}  // namespace quillon
