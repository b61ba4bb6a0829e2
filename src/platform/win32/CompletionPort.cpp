// Completion ports over a mutex, a packet FIFO and a LIFO stack of waiting threads. A packet
// posted while threads wait goes straight to the most recent waiter, which avoids waking a
// thread whose cache has gone cold and keeps the number of running threads small.
#include "platform/win32/CompletionPort.h"

#include <chrono>
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

class CompletionPortObject final : public KernelObject {
 public:
  CompletionPortObject() : KernelObject(Type::CompletionPort) {}

  bool Post(const Packet& packet) {
    std::lock_guard guard(lock_);
    if (closed_) return false;
    if (!waiters_.empty()) {
      Waiter* w = waiters_.back();  // LIFO
      waiters_.pop_back();
      w->packet = packet;
      w->state = Waiter::State::Delivered;
      w->cv.notify_one();  // under the lock: the waiter's record lives on its stack
      return true;
    }
    packets_.push_back(packet);
    return true;
  }

  // NO_ERROR with a packet, WAIT_TIMEOUT, or ERROR_ABANDONED_WAIT_0.
  DWORD Wait(Packet& out, DWORD milliseconds) {
    std::unique_lock guard(lock_);
    if (closed_) return ERROR_ABANDONED_WAIT_0;
    if (!packets_.empty()) {
      out = packets_.front();
      packets_.pop_front();
      return NO_ERROR;
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;
    Waiter self;
    waiters_.push_back(&self);
    auto pending = [&] { return self.state == Waiter::State::Waiting; };
    if (milliseconds == INFINITE) {
      self.cv.wait(guard, [&] { return !pending(); });
    } else {
      self.cv.wait_for(guard, std::chrono::milliseconds(milliseconds),
                       [&] { return !pending(); });
    }
    switch (self.state) {
      case Waiter::State::Delivered:
        out = self.packet;
        return NO_ERROR;
      case Waiter::State::Abandoned:
        return ERROR_ABANDONED_WAIT_0;
      case Waiter::State::Waiting:
        break;
    }
    for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
      if (*it == &self) {
        waiters_.erase(it);
        break;
      }
    }
    return WAIT_TIMEOUT;
  }

  void OnCloseHandle() override {
    std::lock_guard guard(lock_);
    closed_ = true;
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
    Packet packet;
  };

  std::mutex lock_;  // guards everything below
  std::deque<Packet> packets_;
  std::vector<Waiter*> waiters_;
  bool closed_ = false;
};

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
                              ULONG_PTR CompletionKey, DWORD /*NumberOfConcurrentThreads*/) {
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
    auto* fresh = new CompletionPortObject;
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
