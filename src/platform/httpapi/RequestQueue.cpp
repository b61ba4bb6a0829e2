// Request queues: requests wait here for a receiver, or a receiver (blocked thread or
// overlapped call) waits for a request. A request handed to a blocked thread is copied into
// its buffer on that thread, outside the queue's lock.
#include <cstring>

#include "platform/httpapi/Engine.h"

namespace quillon::platform::detail {
namespace {

// What a too-small buffer still learns: the id to ask for the request by.
void WriteIdOnly(const Request& request, PHTTP_REQUEST buffer, ULONG size) {
  if (buffer && size >= sizeof(HTTP_REQUEST_V2)) {
    std::memset(buffer, 0, sizeof(HTTP_REQUEST_V2));
    buffer->RequestId = request.id;
    buffer->ConnectionId = request.connectionId;
  }
}

}  // namespace

bool RequestQueue::BindCompletionPort(KernelObject* port, ULONG_PTR key) {
  std::lock_guard g(lock_);
  if (port_ || closed_) return false;
  port->AddRef();
  port_ = KernelRef<KernelObject>(port);
  key_ = key;
  return true;
}

bool RequestQueue::CompleteLocked(LPOVERLAPPED overlapped, DWORD bytes, DWORD status) {
  if (!port_) return false;
  return PostCompletion(port_.get(), key_, bytes, overlapped, status);
}

bool RequestQueue::Complete(LPOVERLAPPED overlapped, DWORD bytes, DWORD status) {
  std::lock_guard g(lock_);
  return CompleteLocked(overlapped, bytes, status);
}

void RequestQueue::SetMaxLength(ULONG length) {
  std::lock_guard g(lock_);
  maxLength_ = length ? length : 1;
}

bool RequestQueue::Deliver(const std::shared_ptr<Request>& request) {
  std::lock_guard g(lock_);
  if (closed_) return false;
  if (!asyncWaiters_.empty()) {
    AsyncWaiter w = asyncWaiters_.front();
    asyncWaiters_.pop_front();
    request->taken = true;
    ULONG need = RequestRecordSize(*request);
    if (need <= w.size) {
      WriteRequestRecord(*request, w.buffer);
      CompleteLocked(w.overlapped, need, NO_ERROR);
    } else {
      request->taken = false;
      request->refusals = 1;
      parked_.push_back(request);
      WriteIdOnly(*request, w.buffer, w.size);
      CompleteLocked(w.overlapped, need, ERROR_MORE_DATA);
    }
    return true;
  }
  if (!syncWaiters_.empty()) {
    SyncWaiter* w = syncWaiters_.front();
    syncWaiters_.pop_front();
    request->taken = true;
    w->request = request;
    w->cv.notify_one();
    return true;
  }
  if (pending_.size() >= maxLength_) return false;
  pending_.push_back(request);
  return true;
}

ULONG RequestQueue::Hand(const std::shared_ptr<Request>& request, PHTTP_REQUEST buffer,
                         ULONG size, ULONG* bytes) {
  ULONG need = RequestRecordSize(*request);
  if (bytes) *bytes = need;
  if (buffer && need <= size) {
    WriteRequestRecord(*request, buffer);
    return NO_ERROR;
  }
  WriteIdOnly(*request, buffer, size);
  bool refuse = false;
  {
    std::lock_guard g(lock_);
    // Kept for a receive with a bigger buffer; refused for good the second time a buffer
    // is too small, so a receiver that never grows its buffer cannot spin on it.
    if (++request->refusals > 1 || closed_) {
      refuse = true;
    } else {
      request->taken = false;
      parked_.push_back(request);
    }
  }
  if (refuse) request->connection->Refuse(*request, 431);
  return ERROR_MORE_DATA;
}

ULONG RequestQueue::Receive(HTTP_REQUEST_ID id, PHTTP_REQUEST buffer, ULONG size, ULONG* bytes,
                            LPOVERLAPPED overlapped) {
  std::shared_ptr<Request> request;
  {
    std::unique_lock g(lock_);
    if (closed_) return ERROR_OPERATION_ABORTED;
    if (id != HTTP_NULL_ID) {
      for (auto it = parked_.begin(); it != parked_.end(); ++it) {
        if ((*it)->id == id) {
          request = *it;
          parked_.erase(it);
          break;
        }
      }
      if (!request) return ERROR_CONNECTION_INVALID;
    } else if (!parked_.empty() && !overlapped) {
      // An overlapped receive leaves parked requests to the receives that asked for them by
      // id: one posted beside a refused one would take it and refuse it for good.
      request = parked_.front();
      parked_.pop_front();
    } else if (!pending_.empty()) {
      request = pending_.front();
      pending_.pop_front();
    } else if (overlapped) {
      if (!port_) return ERROR_INVALID_PARAMETER;
      asyncWaiters_.push_back(AsyncWaiter{buffer, size, overlapped});
      return ERROR_IO_PENDING;
    } else {
      SyncWaiter self;
      syncWaiters_.push_back(&self);
      self.cv.wait(g, [&] { return self.request || self.aborted; });
      if (self.aborted) return ERROR_OPERATION_ABORTED;
      request = std::move(self.request);
    }
    request->taken = true;
  }
  ULONG need = 0;
  ULONG rc = Hand(request, buffer, size, &need);
  if (bytes) *bytes = need;
  if (overlapped) {
    std::lock_guard g(lock_);
    if (!CompleteLocked(overlapped, need, rc)) return rc;
    return ERROR_IO_PENDING;
  }
  return rc;
}

bool RequestQueue::Withdraw(const Request* request) {
  std::lock_guard g(lock_);
  for (auto* list : {&pending_, &parked_}) {
    for (auto it = list->begin(); it != list->end(); ++it) {
      if (it->get() == request) {
        list->erase(it);
        return true;
      }
    }
  }
  return false;
}

void RequestQueue::Shutdown() {
  std::vector<std::shared_ptr<Request>> dropped;
  {
    std::lock_guard g(lock_);
    if (closed_) return;
    closed_ = true;
    for (SyncWaiter* w : syncWaiters_) {
      w->aborted = true;
      w->cv.notify_one();
    }
    syncWaiters_.clear();
    for (const AsyncWaiter& w : asyncWaiters_) CompleteLocked(w.overlapped, 0, ERROR_OPERATION_ABORTED);
    asyncWaiters_.clear();
    dropped.assign(pending_.begin(), pending_.end());
    dropped.insert(dropped.end(), parked_.begin(), parked_.end());
    pending_.clear();
    parked_.clear();
  }
  for (auto& r : dropped) r->connection->Abort();
  // Connections whose requests were received from this queue end with it.
  for (auto& c : Connections().All()) c->AbortIfQueue(this);
}

void RequestQueue::OnCloseHandle() {
  Shutdown();
  std::lock_guard g(lock_);
  port_ = {};
}

}  // namespace quillon::platform::detail
