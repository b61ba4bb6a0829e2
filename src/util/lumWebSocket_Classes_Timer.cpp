// The timer thread lives from the first enable to destruction; while disabled it sleeps
// on the condition variable. Sleeping on the condition variable rather than a plain sleep
// lets a disable or destruction cut a step short.
#include "util/lumWebSocket_Classes_Timer.h"

#include <pthread.h>

#include <chrono>

#include "util/lumMainThread.h"

namespace quillon {

TlumTimer::TlumTimer() = default;

TlumTimer::~TlumTimer() {
  {
    std::lock_guard lock(FMutex);
    FDestroying = true;
    FEnabled = false;
    ++FGeneration;
  }
  FWake.notify_all();
  if (FThread.joinable()) FThread.join();
  // After the join nothing new can be queued; drop what is pending and wait for a call of
  // ours that the main thread may be running.
  MainThreadQueue::RemoveQueued(this);
}

void TlumTimer::SetOnTimer(TNotifyEvent Handler) {
  std::lock_guard lock(FMutex);
  FOnTimer = std::move(Handler);
}

void TlumTimer::SetOnException(TExceptionEvent Handler) {
  std::lock_guard lock(FMutex);
  FOnException = std::move(Handler);
}

bool TlumTimer::Enabled() const {
  std::lock_guard lock(FMutex);
  return FEnabled;
}

void TlumTimer::SetEnabled(bool Value) {
  std::unique_lock lock(FMutex);
  if (FEnabled == Value || FDestroying) return;
  if (Value) {
    if (FThreadEnded) {
      // The last thread died of a non-standard exception; it has left the mutex for good.
      FThread.join();
      FThreadEnded = false;
    }
    // Started before the flags change, so a failure to start leaves the timer as it was.
    if (!FThread.joinable()) FThread = std::thread([this] { Execute(); });
  }
  FEnabled = Value;
  ++FGeneration;
  lock.unlock();
  FWake.notify_all();
}

void TlumTimer::Execute() {
  pthread_setname_np(pthread_self(), "lumTimer");
  std::unique_lock lock(FMutex);
  for (;;) {
    FWake.wait(lock, [&] { return FEnabled || FDestroying; });
    if (FDestroying) return;

    std::uint64_t generation = FGeneration;
    auto stopped = [&] { return FDestroying || FGeneration != generation; };
    int count = Interval();
    if (count <= 0) count = kStepMs;  // never spin
    while (count > 0 && !stopped()) {
      FWake.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(kStepMs),
                       stopped);
      count -= kStepMs;
    }
    if (stopped()) continue;

    TNotifyEvent onTimer = FOnTimer;
    TExceptionEvent onException = FOnException;
    lock.unlock();
    try {
      Fire(onTimer, onException, NotifyEvents());
    } catch (const std::exception& e) {
      ReportException(onException, e);
    } catch (...) {
      lock.lock();
      FEnabled = false;
      FThreadEnded = true;
      return;
    }
    lock.lock();
  }
}

void TlumTimer::Fire(const TNotifyEvent& onTimer, const TExceptionEvent& onException,
                     TwsNotifyEvent mode) {
  if (!onTimer) return;
  switch (mode) {
    case neNoSync:
      onTimer(this);
      break;
    case neAsynchronous:
      MainThreadQueue::Queue(this, [this, onTimer, onException] {
        try {
          onTimer(this);
        } catch (const std::exception& e) {
          ReportException(onException, e);
        }
      });
      break;
    case neSynchronous:
      RunOnMainThreadAndWait(onTimer);
      break;
  }
}

// A wait of our own instead of MainThreadQueue::Synchronize: destruction must be able to
// end it even when the main loop never comes round to the call.
void TlumTimer::RunOnMainThreadAndWait(const TNotifyEvent& onTimer) {
  {
    std::lock_guard lock(FMutex);
    FSyncDone = false;
    FSyncError = nullptr;
  }
  MainThreadQueue::Queue(this, [this, onTimer] {
    std::exception_ptr error;
    try {
      onTimer(this);
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard lock(FMutex);
      FSyncDone = true;
      FSyncError = error;
    }
    FWake.notify_all();
  });
  std::unique_lock lock(FMutex);
  FWake.wait(lock, [&] { return FSyncDone || FDestroying; });
  if (FSyncDone && FSyncError) {
    std::exception_ptr error = FSyncError;
    FSyncError = nullptr;
    lock.unlock();
    std::rethrow_exception(error);
  }
}

// A handler for errors that itself throws must not end the timer either.
void TlumTimer::ReportException(const TExceptionEvent& onException, const std::exception& e) {
  if (!onException) return;
  try {
    onException(this, e);
  } catch (...) {
  }
}

}  // namespace quillon
