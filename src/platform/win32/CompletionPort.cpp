// Completion ports over a mutex, a packet FIFO and a LIFO stack of waiting threads. A packet
// posted while threads wait goes straight to the most recent waiter, which avoids waking a
// thread whose cache has gone cold. At most `concurrency` threads run packets at once: over
// it a packet waits in the FIFO for a running thread to come back for it, so a large idle pool
// costs nothing and a busy one takes packets in batches without sleeping. We cannot see a
// running thread block, as the OS can; so while packets wait over the limit, one waiter looks
// again every few milliseconds and takes a packet when no running thread has come back for
// one since its last look (they are blocked, not busy).
#include "platform/win32/CompletionPort.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/win32/KernelObject.h"

namespace quillon::platform::detail {

struct Packet {
  ULONG_PTR key = 0;
  DWORD bytes = 0;
  LPOVERLAPPED overlapped = nullptr;
  DWORD status = 0;
};

class CompletionPortObject;

std::atomic<long> g_stallLookMs{2};

// The port this thread runs a packet of, if any (with a reference): it holds one of that
// port's running slots until it waits again or ends.
struct RunningSlot {
  CompletionPortObject* port = nullptr;
  ~RunningSlot();
};
thread_local RunningSlot t_slot;
void ReleaseSlot();

class CompletionPortObject final : public KernelObject {
 public:
  explicit CompletionPortObject(unsigned concurrency)
      : KernelObject(Type::CompletionPort), limit_(concurrency) {}

  bool Post(const Packet& packet) {
    std::lock_guard guard(lock_);
    if (closed_) return false;
    if (!waiters_.empty() && running_ < limit_) {
      Deliver(packet);
      WatchLocked();
      return true;
    }
    packets_.push_back(packet);
    WatchLocked();
    return true;
  }

  // NO_ERROR with a packet, WAIT_TIMEOUT, or ERROR_ABANDONED_WAIT_0.
  DWORD Wait(Packet& out, DWORD milliseconds) {
    if (t_slot.port && t_slot.port != this) ReleaseSlot();  // a packet of another port ended
    std::unique_lock guard(lock_);
    LeaveLocked();
    if (closed_) return ERROR_ABANDONED_WAIT_0;
    if (!packets_.empty() && running_ < limit_) {
      out = packets_.front();
      packets_.pop_front();
      EnterLocked();
      return NO_ERROR;
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;
    Waiter self;
    waiters_.push_back(&self);
    const auto deadline = milliseconds == INFINITE
                              ? std::chrono::steady_clock::time_point::max()
                              : std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    if (!packets_.empty() && !watching_) {
      watching_ = true;
      self.watching = true;
      self.seen = taken_;
    }
    for (;;) {
      if (self.state != Waiter::State::Waiting) break;
      auto until = deadline;
      if (self.watching) until = std::min(until, std::chrono::steady_clock::now() + StallLook());
      if (until == std::chrono::steady_clock::time_point::max()) {
        self.cv.wait(guard);
      } else {
        self.cv.wait_until(guard, until);
      }
      if (self.state != Waiter::State::Waiting) break;
      const bool looked = self.watching && std::chrono::steady_clock::now() >= until;
      if (looked && !packets_.empty() && taken_ != self.seen) {
        self.seen = taken_;  // the running threads are taking packets: busy, not blocked
      } else if (looked && !packets_.empty()) {
        // Packets waited a whole look and no running thread came back for one: a running
        // thread has blocked, so this one runs a packet past the limit.
        RemoveWaiterLocked(&self);
        self.watching = false;
        watching_ = false;
        out = packets_.front();
        packets_.pop_front();
        EnterLocked();
        WatchLocked();
        return NO_ERROR;
      }
      if (self.watching && packets_.empty()) {
        self.watching = false;
        watching_ = false;
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
    }
    if (self.watching) {
      self.watching = false;
      watching_ = false;
    }
    switch (self.state) {
      case Waiter::State::Delivered:
        out = self.packet;
        AddRef();  // the slot was counted by the poster
        t_slot.port = this;
        if (!packets_.empty()) WatchLocked();
        return NO_ERROR;
      case Waiter::State::Abandoned:
        return ERROR_ABANDONED_WAIT_0;
      case Waiter::State::Waiting:
        break;
    }
    RemoveWaiterLocked(&self);
    WatchLocked();
    return WAIT_TIMEOUT;
  }

  // A thread gives back its slot without waiting here again: a packet waiting for a slot goes
  // to a sleeping thread.
  void Leave() {
    std::lock_guard guard(lock_);
    if (running_ > 0) --running_;
    if (!packets_.empty() && !waiters_.empty() && running_ < limit_ && !closed_) {
      Packet packet = packets_.front();
      packets_.pop_front();
      Deliver(packet);
    }
  }

  void OnCloseHandle() override {
    std::lock_guard guard(lock_);
    closed_ = true;
    watching_ = false;
    for (Waiter* w : waiters_) {
      w->state = Waiter::State::Abandoned;
      w->cv.notify_one();
    }
    waiters_.clear();
    packets_.clear();
  }

 private:
  struct Waiter {
    enum class State { Waiting, Delivered, Abandoned };
    std::condition_variable cv;
    State state = State::Waiting;
    bool watching = false;
    std::uint64_t seen = 0;  // taken_ at the watcher's last look
    Packet packet;
  };

  void Deliver(const Packet& packet) {
    Waiter* w = waiters_.back();  // LIFO
    waiters_.pop_back();
    if (w->watching) {
      w->watching = false;
      watching_ = false;
    }
    w->packet = packet;
    w->state = Waiter::State::Delivered;
    ++running_;
    ++taken_;
    w->cv.notify_one();  // under the lock: the waiter's record lives on its stack
  }
  void EnterLocked() {
    ++running_;
    ++taken_;
    AddRef();
    t_slot.port = this;
  }
  // The thread about to wait gives back its slot; it takes a waiting packet itself.
  void LeaveLocked() {
    if (t_slot.port != this) return;
    t_slot.port = nullptr;
    if (running_ > 0) --running_;
    Release();  // never the last reference: the caller holds one
  }
  // Packets wait over the limit: make sure one waiter looks again soon.
  void WatchLocked() {
    if (watching_ || packets_.empty() || waiters_.empty()) return;
    for (auto it = waiters_.rbegin(); it != waiters_.rend(); ++it) {
      if ((*it)->state != Waiter::State::Waiting) continue;
      (*it)->watching = true;
      (*it)->seen = taken_;
      watching_ = true;
      (*it)->cv.notify_one();
      return;
    }
  }
  void RemoveWaiterLocked(Waiter* self) {
    for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
      if (*it == self) {
        waiters_.erase(it);
        break;
      }
    }
  }

  const unsigned limit_;  // threads running packets at once
  std::mutex lock_;       // guards everything below
  std::deque<Packet> packets_;
  std::vector<Waiter*> waiters_;
  unsigned running_ = 0;   // threads that took a packet and have not come back
  std::uint64_t taken_ = 0;  // packets taken so far: progress the watcher looks for
  bool watching_ = false;  // a waiter looks again soon for packets over the limit
  bool closed_ = false;
};

void ReleaseSlot() {
  CompletionPortObject* port = t_slot.port;
  if (!port) return;
  t_slot.port = nullptr;
  port->Leave();
  port->Release();
}

RunningSlot::~RunningSlot() { ReleaseSlot(); }

std::chrono::milliseconds StallLook() { return std::chrono::milliseconds(g_stallLookMs.load()); }
void SetStallLook(std::chrono::milliseconds aLook) { g_stallLookMs.store(static_cast<long>(aLook.count())); }

unsigned DefaultConcurrency() {
  cpu_set_t set;
  unsigned n = 0;
  if (sched_getaffinity(0, sizeof set, &set) == 0) n = static_cast<unsigned>(CPU_COUNT(&set));
  if (n == 0) n = std::thread::hardware_concurrency();
  // Never fewer than two: a running thread that blocks costs a look, not the whole port.
  return std::max(2u, n);
}

bool PostCompletion(KernelObject* object, ULONG_PTR key, DWORD bytes, LPOVERLAPPED overlapped,
                    DWORD status) {
  if (!object || object->type() != KernelObject::Type::CompletionPort) return false;
  auto* port = static_cast<CompletionPortObject*>(object);
  if (overlapped) {
    overlapped->Internal = status;
    overlapped->InternalHigh = bytes;
  }
  return port->Post(Packet{key, bytes, overlapped, status});
}

}  // namespace quillon::platform::detail

using quillon::platform::detail::CompletionPortObject;
using quillon::platform::detail::KernelObject;
using quillon::platform::detail::KernelRef;

HANDLE CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort,
                              ULONG_PTR CompletionKey, DWORD NumberOfConcurrentThreads) {
  namespace d = quillon::platform::detail;
  KernelRef<KernelObject> file;
  if (FileHandle != INVALID_HANDLE_VALUE) {
    file = d::ReferenceHandle(FileHandle);
    if (!file) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
  }
  KernelRef<CompletionPortObject> port;
  HANDLE result = ExistingCompletionPort;
  bool created = false;
  if (ExistingCompletionPort != nullptr) {
    if (!file) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    port = d::ReferenceHandleAs<CompletionPortObject>(ExistingCompletionPort,
                                                       KernelObject::Type::CompletionPort);
    if (!port) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
  } else {
    auto* fresh = new CompletionPortObject(NumberOfConcurrentThreads
                                               ? static_cast<unsigned>(NumberOfConcurrentThreads)
                                               : d::DefaultConcurrency());
    fresh->AddRef();  // one for the table, one for `port`
    result = d::RegisterHandle(fresh);
    port = KernelRef<CompletionPortObject>(fresh);
    created = true;
  }
  if (file && !file->BindCompletionPort(port.get(), CompletionKey)) {
    if (created) d::CloseKernelHandle(result);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return result;
}

BOOL GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred,
                               PULONG_PTR lpCompletionKey, LPOVERLAPPED* lpOverlapped,
                               DWORD dwMilliseconds) {
  namespace d = quillon::platform::detail;
  if (lpOverlapped) *lpOverlapped = nullptr;
  auto port = d::ReferenceHandleAs<CompletionPortObject>(CompletionPort,
                                                         KernelObject::Type::CompletionPort);
  if (!port || !lpOverlapped) {
    SetLastError(port ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  d::Packet packet;
  DWORD rc = port->Wait(packet, dwMilliseconds);
  if (rc != NO_ERROR) {
    SetLastError(rc);
    return FALSE;
  }
  if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = packet.bytes;
  if (lpCompletionKey) *lpCompletionKey = packet.key;
  *lpOverlapped = packet.overlapped;
  if (packet.status != NO_ERROR) {
    SetLastError(packet.status);
    return FALSE;
  }
  return TRUE;
}

BOOL PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred,
                                ULONG_PTR dwCompletionKey, LPOVERLAPPED lpOverlapped) {
  namespace d = quillon::platform::detail;
  auto port = d::ReferenceHandleAs<CompletionPortObject>(CompletionPort,
                                                         KernelObject::Type::CompletionPort);
  if (!port || !port->Post(d::Packet{dwCompletionKey, dwNumberOfBytesTransferred,
                                     lpOverlapped, NO_ERROR})) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
  if (!quillon::platform::detail::CloseKernelHandle(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
