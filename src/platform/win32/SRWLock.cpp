// A futex reader/writer lock in one 64-bit word, since pthread_rwlock_t and
// std::shared_mutex take 56 bytes. State layout (32 bits):
//   bits 0-29  reader count, or all ones while a writer holds it
//   bit 30     readers are waiting
//   bit 31     writers are waiting
// Readers sleep on State; writers sleep on WriterNotify, a counter that an unlocker
// bumps before waking one writer so that no wake-up is lost.
#include "platform/win32/SRWLock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace {

constexpr std::uint32_t kReadLocked = 1;
constexpr std::uint32_t kMask = (1u << 30) - 1;
constexpr std::uint32_t kWriteLocked = kMask;
constexpr std::uint32_t kMaxReaders = kMask - 1;
constexpr std::uint32_t kReadersWaiting = 1u << 30;
constexpr std::uint32_t kWritersWaiting = 1u << 31;

bool IsUnlocked(std::uint32_t s) { return (s & kMask) == 0; }
bool IsWriteLocked(std::uint32_t s) { return (s & kMask) == kWriteLocked; }
bool HasReadersWaiting(std::uint32_t s) { return (s & kReadersWaiting) != 0; }
bool HasWritersWaiting(std::uint32_t s) { return (s & kWritersWaiting) != 0; }
// Waiting threads of either kind make new readers queue up behind them.
bool IsReadLockable(std::uint32_t s) {
  return (s & kMask) < kMaxReaders && !HasReadersWaiting(s) && !HasWritersWaiting(s);
}

std::uint32_t* FutexAddress(std::atomic<std::uint32_t>& word) {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  return reinterpret_cast<std::uint32_t*>(&word);
}

void FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
  // EAGAIN (value changed) and EINTR both just mean "look again".
  syscall(SYS_futex, FutexAddress(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

// True when a thread was woken.
bool FutexWake(std::atomic<std::uint32_t>& word, int count) {
  return syscall(SYS_futex, FutexAddress(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr,
                 0) > 0;
}

template <class Pred>
std::uint32_t SpinUntil(PSRWLOCK lock, Pred done) {
  for (int spin = 100;; --spin) {
    std::uint32_t s = lock->State.load(std::memory_order_relaxed);
    if (done(s) || spin == 0) return s;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
}

bool WakeWriter(PSRWLOCK lock) {
  lock->WriterNotify.fetch_add(1, std::memory_order_release);
  return FutexWake(lock->WriterNotify, 1);
}

// Called by an unlocker that left the lock free with waiters recorded.
void WakeWriterOrReaders(PSRWLOCK lock, std::uint32_t s) {
  // Only writers wait: hand the lock to one of them.
  if (s == kWritersWaiting) {
    if (lock->State.compare_exchange_strong(s, 0, std::memory_order_relaxed)) {
      WakeWriter(lock);
      return;
    }
  }
  // Both wait: wake one writer; the readers stay waiting behind it.
  if (s == (kReadersWaiting | kWritersWaiting)) {
    if (!lock->State.compare_exchange_strong(s, kReadersWaiting, std::memory_order_relaxed)) {
      return;  // someone took the lock; its unlock will wake the waiters
    }
    if (WakeWriter(lock)) return;
    // No writer was actually asleep, so wake the readers rather than risk waking nobody.
    s = kReadersWaiting;
  }
  if (s == kReadersWaiting) {
    if (lock->State.compare_exchange_strong(s, 0, std::memory_order_relaxed)) {
      FutexWake(lock->State, INT_MAX);
    }
  }
}

void AcquireSharedContended(PSRWLOCK lock) {
  auto ready = [](std::uint32_t s) {
    return !IsWriteLocked(s) || HasReadersWaiting(s) || HasWritersWaiting(s);
  };
  std::uint32_t s = SpinUntil(lock, ready);
  for (;;) {
    if (IsReadLockable(s)) {
      if (lock->State.compare_exchange_weak(s, s + kReadLocked, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
        return;
      }
      continue;
    }
    if ((s & kMask) == kMaxReaders) std::abort();  // a billion readers: a leak, not a load
    if (!HasReadersWaiting(s)) {
      if (!lock->State.compare_exchange_weak(s, s | kReadersWaiting, std::memory_order_relaxed)) {
        continue;
      }
    }
    FutexWait(lock->State, s | kReadersWaiting);
    s = SpinUntil(lock, ready);
  }
}

void AcquireExclusiveContended(PSRWLOCK lock) {
  auto ready = [](std::uint32_t s) { return IsUnlocked(s) || HasWritersWaiting(s); };
  std::uint32_t s = SpinUntil(lock, ready);
  std::uint32_t otherWritersWaiting = 0;
  for (;;) {
    if (IsUnlocked(s)) {
      // Keep the writers-waiting bit once we have slept: others may still be asleep.
      if (lock->State.compare_exchange_weak(s, s | kWriteLocked | otherWritersWaiting,
                                            std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
        return;
      }
      continue;
    }
    if (!HasWritersWaiting(s)) {
      if (!lock->State.compare_exchange_weak(s, s | kWritersWaiting, std::memory_order_relaxed)) {
        continue;
      }
    }
    otherWritersWaiting = kWritersWaiting;
    // Read the counter before re-checking the state so that a wake-up in between is seen.
    std::uint32_t seq = lock->WriterNotify.load(std::memory_order_acquire);
    s = lock->State.load(std::memory_order_relaxed);
    if (IsUnlocked(s) || !HasWritersWaiting(s)) continue;
    FutexWait(lock->WriterNotify, seq);
    s = SpinUntil(lock, ready);
  }
}

}  // namespace

void InitializeSRWLock(PSRWLOCK lock) {
  lock->State.store(0, std::memory_order_relaxed);
  lock->WriterNotify.store(0, std::memory_order_relaxed);
}

void AcquireSRWLockShared(PSRWLOCK lock) {
  std::uint32_t s = lock->State.load(std::memory_order_relaxed);
  if (!IsReadLockable(s) ||
      !lock->State.compare_exchange_weak(s, s + kReadLocked, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
    AcquireSharedContended(lock);
  }
}

void ReleaseSRWLockShared(PSRWLOCK lock) {
  std::uint32_t s = lock->State.fetch_sub(kReadLocked, std::memory_order_release) - kReadLocked;
  // Readers only wait on a read-held lock when a writer waits too, so the last reader
  // out only has writers to think of.
  if (IsUnlocked(s) && HasWritersWaiting(s)) WakeWriterOrReaders(lock, s);
}

void AcquireSRWLockExclusive(PSRWLOCK lock) {
  std::uint32_t expected = 0;
  if (!lock->State.compare_exchange_weak(expected, kWriteLocked, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
    AcquireExclusiveContended(lock);
  }
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
  std::uint32_t s =
      lock->State.fetch_sub(kWriteLocked, std::memory_order_release) - kWriteLocked;
  if (HasWritersWaiting(s) || HasReadersWaiting(s)) WakeWriterOrReaders(lock, s);
}

BOOLEAN TryAcquireSRWLockShared(PSRWLOCK lock) {
  std::uint32_t s = lock->State.load(std::memory_order_relaxed);
  while (IsReadLockable(s)) {
    if (lock->State.compare_exchange_weak(s, s + kReadLocked, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
      return 1;
    }
  }
  return 0;
}

BOOLEAN TryAcquireSRWLockExclusive(PSRWLOCK lock) {
  std::uint32_t s = lock->State.load(std::memory_order_relaxed);
  while (IsUnlocked(s)) {
    if (lock->State.compare_exchange_weak(s, s | kWriteLocked, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
      return 1;
    }
  }
  return 0;
}
