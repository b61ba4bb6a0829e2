// The engine's epoll thread: edge-triggered readiness for listeners and connections, a wake
// descriptor for releases, and a tick for the timeouts (fast while bandwidth throttling waits).
// Events an object could not take at once (its lock was held) are offered again every
// millisecond until its holder or the loop has handled them. After a wave of closed
// connections the tick hands the heap's free pages back to the system (glibc's malloc_trim):
// freed connections leave holes all over the heap that the allocator would otherwise keep.
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <system_error>

#include "platform/httpapi/Engine.h"

namespace quillon::platform::detail {

EventLoop& EventLoop::Instance() {
  // Never destroyed: connections may still be referenced by other threads at exit.
  static EventLoop* loop = new EventLoop;
  return *loop;
}

EventLoop::EventLoop() {
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epoll_ < 0 || wake_ < 0) throw std::system_error(errno, std::generic_category(), "epoll");
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
  thread_ = std::thread([this] { Run(); });
  thread_.detach();
}

bool EventLoop::Add(std::shared_ptr<Pollable> object, int fd, std::uint32_t events) {
  Pollable* raw = object.get();
  {
    std::lock_guard g(lock_);
    objects_.emplace(raw, std::move(object));
  }
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = raw;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    std::lock_guard g(lock_);
    objects_.erase(raw);
    return false;
  }
  return true;
}

void EventLoop::Release(Pollable* object) {
  {
    std::lock_guard g(lock_);
    releases_.push_back(object);
  }
  Wake();
}

void EventLoop::Forget(int fd) {
  epoll_event ev{};
  epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, &ev);
}

void EventLoop::RetryLater(Pollable* object) {
  std::lock_guard g(lock_);
  auto it = objects_.find(object);
  if (it != objects_.end()) retry_.push_back(it->second);
}

void EventLoop::WantFastTick() {
  if (!fastTick_.exchange(true)) Wake();
}

void EventLoop::Wake() {
  std::uint64_t one = 1;
  ssize_t n = write(wake_, &one, sizeof one);
  (void)n;  // a full counter already means "awake"
}

void EventLoop::Run() {
  constexpr int kMaxEvents = 256;
  epoll_event events[kMaxEvents];
  Clock::time_point nextTick = Clock::now();
  std::vector<std::shared_ptr<Pollable>> ticking;
  std::vector<std::shared_ptr<Pollable>> released;
  std::vector<std::shared_ptr<Pollable>> retrying;
  std::uint64_t closedSeen = 0;
  for (;;) {
    constexpr auto kFast = std::chrono::milliseconds(20);
    constexpr auto kSlow = std::chrono::milliseconds(200);
    auto now = Clock::now();
    if (fastTick_.load() && nextTick > now + kFast) nextTick = now + kFast;
    int timeout = 0;
    if (nextTick > now)
      timeout = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now).count()) + 1;
    if (!retry_.empty() && timeout > 1) timeout = 1;
    int n = epoll_wait(epoll_, events, kMaxEvents, timeout);
    retrying.swap(retry_);
    for (auto& object : retrying)
      if (!object->OnRetry()) retry_.push_back(std::move(object));
    retrying.clear();
    for (int i = 0; i < n; ++i) {
      auto* object = static_cast<Pollable*>(events[i].data.ptr);
      if (!object) {
        std::uint64_t count;
        ssize_t r = read(wake_, &count, sizeof count);
        (void)r;
        continue;
      }
      object->OnEvents(events[i].events);
    }
    // Releases take effect only now, after every event of the batch has been handled.
    {
      std::lock_guard g(lock_);
      for (Pollable* p : releases_) {
        auto it = objects_.find(p);
        if (it != objects_.end()) {
          released.push_back(std::move(it->second));
          objects_.erase(it);
        }
      }
      releases_.clear();
    }
    released.clear();  // destructors run outside the lock
    now = Clock::now();
    if (now >= nextTick) {
      fastTick_.store(false);
      {
        std::lock_guard g(lock_);
        ticking.reserve(objects_.size());
        for (auto& [p, owner] : objects_) ticking.push_back(owner);
      }
      for (auto& p : ticking) p->OnTick(now);
      ticking.clear();
      // Trimmed once the closing has paused for a second, or every few thousand closes.
      const std::uint64_t closed = closed_.load(std::memory_order_relaxed);
      if (closed != closedSeen) {
        closedSeen = closed;
        lastClose_ = now;
      }
      const std::uint64_t since = closed - closedAtTrim_;
      if ((since >= 256 && now - lastClose_ >= std::chrono::seconds(1)) || since >= 4096) {
        malloc_trim(0);
        closedAtTrim_ = closed;
      }
      nextTick = now + (fastTick_.load() ? kFast : kSlow);
    }
  }
}

}  // namespace quillon::platform::detail
