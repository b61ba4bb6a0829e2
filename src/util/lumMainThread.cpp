// One process-wide queue under one mutex; synchronous callers wait on their own entry.
#include "util/lumMainThread.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

namespace quillon {
namespace {

struct Entry {
  const void* owner;
  MainThreadQueue::TProc proc;
  bool synchronous = false;
  bool finished = false;  // ran, or was dropped
  bool dropped = false;
  std::exception_ptr error;
};

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::shared_ptr<Entry>> pending;
  const void* runningOwner = nullptr;
  std::thread::id mainThread;
  std::function<void()> wake;
};

State& TheState() {
  static State state;
  return state;
}

// Static initialisation runs on the thread that starts the program.
[[maybe_unused]] const bool kMainThreadRecorded = [] {
  MainThreadQueue::SetMainThread();
  return true;
}();

void Push(const std::shared_ptr<Entry>& entry) {
  State& s = TheState();
  std::function<void()> wake;
  {
    std::lock_guard lock(s.mutex);
    s.pending.push_back(entry);
    wake = s.wake;
  }
  s.changed.notify_all();
  if (wake) wake();
}

}  // namespace

bool MainThreadQueue::IsMainThread() {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  return s.mainThread == std::this_thread::get_id();
}

void MainThreadQueue::SetMainThread(std::thread::id id) {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  s.mainThread = id;
}

void MainThreadQueue::Queue(const void* owner, TProc proc) {
  auto entry = std::make_shared<Entry>();
  entry->owner = owner;
  entry->proc = std::move(proc);
  Push(entry);
}

bool MainThreadQueue::Synchronize(const void* owner, TProc proc) {
  if (IsMainThread()) {
    proc();
    return true;
  }
  auto entry = std::make_shared<Entry>();
  entry->owner = owner;
  entry->proc = std::move(proc);
  entry->synchronous = true;
  Push(entry);
  State& s = TheState();
  std::unique_lock lock(s.mutex);
  s.changed.wait(lock, [&] { return entry->finished; });
  if (entry->error) std::rethrow_exception(entry->error);
  return !entry->dropped;
}

void MainThreadQueue::RemoveQueued(const void* owner) {
  State& s = TheState();
  // Dropped calls are destroyed after the mutex is released: their captures may queue.
  std::deque<std::shared_ptr<Entry>> dropped;
  std::unique_lock lock(s.mutex);
  bool onMain = s.mainThread == std::this_thread::get_id();
  for (auto it = s.pending.begin(); it != s.pending.end();) {
    if ((*it)->owner == owner) {
      (*it)->dropped = true;
      (*it)->finished = true;
      dropped.push_back(std::move(*it));
      it = s.pending.erase(it);
    } else {
      ++it;
    }
  }
  s.changed.notify_all();
  if (!onMain) s.changed.wait(lock, [&] { return s.runningOwner != owner; });
  lock.unlock();
}

bool MainThreadQueue::CheckSynchronize(std::chrono::milliseconds timeout) {
  State& s = TheState();
  std::unique_lock lock(s.mutex);
  if (s.mainThread != std::this_thread::get_id()) return false;
  if (timeout.count() > 0) s.changed.wait_for(lock, timeout, [&] { return !s.pending.empty(); });
  // Only the calls pending now: a call that queues another must not keep us here.
  std::size_t batch = s.pending.size();
  bool ran = false;
  for (; batch > 0 && !s.pending.empty(); --batch) {
    std::shared_ptr<Entry> entry = s.pending.front();
    s.pending.pop_front();
    s.runningOwner = entry->owner;
    lock.unlock();
    std::exception_ptr error;
    try {
      entry->proc();
    } catch (...) {
      error = std::current_exception();
    }
    entry->proc = nullptr;  // captures die outside the mutex
    lock.lock();
    s.runningOwner = nullptr;
    entry->finished = true;
    entry->error = entry->synchronous ? error : nullptr;
    ran = true;
    s.changed.notify_all();
    if (error && !entry->synchronous) std::rethrow_exception(error);
  }
  return ran;
}

void MainThreadQueue::SetWakeMainThread(std::function<void()> wake) {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  s.wake = std::move(wake);
}

}  // namespace quillon
